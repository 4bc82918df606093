// The POSIX message library keeps the contract of LoadStringA, which the
// Windows form gets from the system.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/dynamic_library.h"
#include "support/message_texts.h"

namespace {

using testsupport::kMessages;
using testsupport::MessageOf;

// At most size - 1 characters, always terminated, 0 for a missing string.
TEST(MessageLibrary, LoadsLikeAStringResource) {
  platform::DynamicLibrary messages;
  ASSERT_TRUE(messages.Load(VELK_MESSAGES_PATH)) << messages.error();
  typedef int (*LoadFn)(unsigned, char*, int);
  auto load = reinterpret_cast<LoadFn>(messages.Symbol("StringResourceLoad"));
  ASSERT_NE(load, nullptr);

  for (int code = 11; code <= 14; ++code) {
    char buffer[512];
    const std::string expected = MessageOf(code);
    EXPECT_EQ(load(static_cast<unsigned>(code), buffer, sizeof buffer), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(buffer), expected);
    // What a host receives is never shortened.
    EXPECT_LE(expected.size(), 510u) << code;
    for (char c : expected) EXPECT_TRUE(c >= ' ' && c <= '~') << code;
  }

  char small[10];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(load(11, small, sizeof small), 9);
  EXPECT_EQ(std::string(small), MessageOf(11).substr(0, 9));
  EXPECT_EQ(load(11, small, 1), 0);
  EXPECT_EQ(small[0], '\0');
  small[0] = 'x';
  EXPECT_EQ(load(15, small, sizeof small), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(load(0, small, sizeof small), 0);
  EXPECT_EQ(load(11, nullptr, 10), 0);
}

}  // namespace
