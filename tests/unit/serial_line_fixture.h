// A driver line on the in-memory port "COM1", on a virtual clock.
#ifndef VELK_TESTS_UNIT_SERIAL_LINE_FIXTURE_H
#define VELK_TESTS_UNIT_SERIAL_LINE_FIXTURE_H

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "serial/serial_line.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"

namespace testsupport {

class SerialLineTest : public ::testing::Test {
 protected:
  explicit SerialLineTest(uint32_t startTick = 1000) : clock(startTick) {}
  void SetUp() override { fake.AddPort("COM1"); }

  void OpenLine(int16_t timeoutMs = 100, uint16_t pollDelayMs = 15) {
    const velk::PortSettings s = MakeSettings("COM1", 9600, timeoutMs);
    ASSERT_EQ(line.OpenPort(&s), 1);
    line.pollDelayMs = pollDelayMs;
    fake.log.clear();
  }

  // Runs one exchange of `command`; the answer lands in `answer`.
  int32_t Exchange(const std::string& command) {
    memset(buffer, 0, sizeof buffer);
    memcpy(buffer, command.data(), command.size());
    int32_t length = static_cast<int32_t>(command.size());
    const int32_t result = line.Exchange(buffer, &length, serial::kVelkAnswer);
    answer.assign(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    return result;
  }

  void TearDown() override {
    EXPECT_EQ(fake.doubleCloses, 0);
    EXPECT_EQ(fake.callsOnClosedHandles, 0);
  }

  VirtualClock clock;
  FakeSerial fake{clock};
  serial::SerialLine line{fake, clock};
  char buffer[1024];
  std::string answer;
};

}  // namespace testsupport

#endif
