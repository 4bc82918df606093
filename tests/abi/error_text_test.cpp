// Error texts as the host fetches them: a code left by a rejected
// configuration text, its message from the message library once, and the
// fallback text when the library is missing or lacks the string.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "support/host_driver.h"
#include "support/message_texts.h"

namespace {

namespace fs = std::filesystem;
using testsupport::HostDriver;
using testsupport::HostLibrary;

const char kFallback[] = "Load string resource file StringResource.dll fail!";

using testsupport::kMessages;
using testsupport::MessageOf;

// Copies `text` into a host array; a text as long as the array leaves no NUL.
template <size_t N>
void Fill(char (&field)[N], const char* text) {
  memset(field, 0, N);
  const size_t length = strlen(text);
  memcpy(field, text, length < N ? length : N);
}

velk::TagConfig ConfigOf(const char* moduleType, const char* address, int16_t dataType) {
  velk::TagConfig config{};
  Fill(config.moduleType, moduleType);
  Fill(config.addressText, address);
  config.dataType = dataType;
  return config;
}

int16_t ParseTag(velk::IDriver* d, const char* moduleType, const char* address, int16_t dataType) {
  const velk::TagConfig config = ConfigOf(moduleType, address, dataType);
  velk::TagDef def{};
  return d->ParseTag(&config, &def);
}

void RejectDeviceAddress(velk::IDriver* d) {
  velk::DeviceRecord device{};
  EXPECT_EQ(d->ParseDeviceAddress("1a", &device), 0);
}

// A directory of its own that goes away with the test.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ =
        fs::temp_directory_path() / ("velk_error_text_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(ErrorText, NoneOnAFreshDriver) {
  HostLibrary lib;
  HostDriver driver(lib);
  ASSERT_NE(driver.d, nullptr);
  EXPECT_EQ(driver.d->GetErrorText(), nullptr);
}

// A rejected device address text (when `deviceText` is set) or tag, what
// the operation returns, and the code it leaves pending.
struct PendingCase {
  const char* deviceText;
  const char* moduleType;
  const char* tagText;
  int16_t dataType;
  int32_t returned;
  int code;
};

const PendingCase kPending[] = {
    {"1a", nullptr, nullptr, 0, 0, 11},
    {"256", nullptr, nullptr, 0, 0, 11},
    {"12.0", nullptr, nullptr, 0, 0, 11},
    {nullptr, "Velk4017", "XY3", velk::kTypeFloat, 12, 12},
    {nullptr, "Velk40", "AI3", velk::kTypeFloat, 12, 12},
    {nullptr, "Velk4017", "AI3", velk::kTypeWord, 13, 13},
    {nullptr, "Velk4017", "AI8", velk::kTypeFloat, 14, 14},
    {nullptr, "Data7810", "Temp8", velk::kTypeFloat, 1, 14},  // Data7810 failures answer 1
    {nullptr, "Data7210", "SetDat1,x", velk::kTypeFloat, 12, 12},
};

int32_t Reject(velk::IDriver* d, const PendingCase& c) {
  if (c.deviceText != nullptr) {
    velk::DeviceRecord device{};
    return d->ParseDeviceAddress(c.deviceText, &device);
  }
  return ParseTag(d, c.moduleType, c.tagText, c.dataType);
}

TEST(ErrorText, PendingCodeGivesItsTextOnce) {
  HostLibrary lib;
  HostDriver driver(lib);
  ASSERT_NE(driver.d, nullptr);
  for (const PendingCase& c : kPending) {
    const std::string what = c.deviceText != nullptr ? c.deviceText : c.tagText;
    EXPECT_EQ(Reject(driver.d, c), c.returned) << what;
    const char* text = driver.d->GetErrorText();
    ASSERT_NE(text, nullptr) << what;
    EXPECT_EQ(std::string(text), MessageOf(c.code)) << what;
    EXPECT_EQ(driver.d->GetErrorText(), nullptr) << what;
  }
}

TEST(ErrorText, NullRecordsLeaveACode) {
  HostLibrary lib;
  HostDriver driver(lib);
  ASSERT_NE(driver.d, nullptr);
  EXPECT_EQ(driver.d->ParseTag(nullptr, nullptr), 12);
  EXPECT_EQ(std::string(driver.d->GetErrorText()), MessageOf(12));
  EXPECT_EQ(driver.d->ParseDeviceAddress(nullptr, nullptr), 0);
  EXPECT_EQ(std::string(driver.d->GetErrorText()), MessageOf(11));
}

TEST(ErrorText, SuccessKeepsAPendingCodeAndALaterFailureReplacesIt) {
  HostLibrary lib;
  HostDriver driver(lib);
  ASSERT_NE(driver.d, nullptr);
  RejectDeviceAddress(driver.d);
  velk::DeviceRecord device{};
  EXPECT_EQ(driver.d->ParseDeviceAddress("12.1", &device), 1);
  EXPECT_EQ(ParseTag(driver.d, "Velk4017", "AI3", velk::kTypeFloat), 0);
  ASSERT_NE(driver.d->GetErrorText(), nullptr);

  RejectDeviceAddress(driver.d);
  EXPECT_EQ(ParseTag(driver.d, "Velk4017", "AI3", velk::kTypeWord), 13);
  const char* text = driver.d->GetErrorText();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), MessageOf(13));
}

// The driver copied into a directory of its own, optionally beside a message
// library, and loaded from there.
void ExpectFallbackText(const TempDir& dir) {
  const fs::path driverCopy = dir.path() / fs::path(VELK_DRIVER_PATH).filename();
  fs::copy_file(VELK_DRIVER_PATH, driverCopy);
  HostLibrary lib(driverCopy.string());
  HostDriver driver(lib);
  ASSERT_NE(driver.d, nullptr);
  RejectDeviceAddress(driver.d);
  const char* text = driver.d->GetErrorText();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, kFallback);
  EXPECT_EQ(driver.d->GetErrorText(), nullptr);
}

// The host program sits in another folder than the driver (as this test
// program does): the message library is found beside the driver all the same.
TEST(ErrorText, MessageLibraryBesideTheDriverInAnotherFolder) {
  TempDir dir;
  const fs::path driverCopy = dir.path() / fs::path(VELK_DRIVER_PATH).filename();
  fs::copy_file(VELK_DRIVER_PATH, driverCopy);
  fs::copy_file(VELK_MESSAGES_PATH, dir.path() / fs::path(VELK_MESSAGES_PATH).filename());
  HostLibrary lib(driverCopy.string());
  HostDriver driver(lib);
  ASSERT_NE(driver.d, nullptr);
  RejectDeviceAddress(driver.d);
  const char* text = driver.d->GetErrorText();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), MessageOf(11));
}

TEST(ErrorText, FallbackWhenTheMessageLibraryIsMissing) {
  TempDir dir;
  ExpectFallbackText(dir);
}

TEST(ErrorText, FallbackWhenTheMessageLibraryHasNoSuchString) {
  TempDir dir;
  fs::copy_file(VELK_NO_STRINGS_MESSAGES_PATH, dir.path() / fs::path(VELK_MESSAGES_PATH).filename());
  ExpectFallbackText(dir);
}

// Two threads meet after every fetch, so each compares its text while the
// other has just fetched a different one.
class Barrier {
 public:
  explicit Barrier(int parties) : parties_(parties) {}
  // False when the other party did not arrive in time.
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned generation = generation_;
    if (++waiting_ == parties_) {
      waiting_ = 0;
      ++generation_;
      arrived_.notify_all();
      return true;
    }
    return arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return generation_ != generation; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  const int parties_;
  int waiting_ = 0;
  unsigned generation_ = 0;
};

TEST(ErrorText, TwoThreadsKeepTheirOwnTexts) {
  HostLibrary lib;
  HostDriver first(lib);
  HostDriver second(lib);
  ASSERT_NE(first.d, nullptr);
  ASSERT_NE(second.d, nullptr);
  Barrier barrier(2);
  constexpr int kRounds = 100;

  auto serve = [&](velk::IDriver* d, const PendingCase& c, int* wrong) {
    const std::string expected = MessageOf(c.code);
    for (int i = 0; i < kRounds; ++i) {
      Reject(d, c);
      const char* text = d->GetErrorText();
      if (!barrier.Wait()) ++*wrong;
      if (text == nullptr || expected != text) ++*wrong;
      if (!barrier.Wait()) ++*wrong;
    }
  };
  const PendingCase deviceAddress = {"1a", nullptr, nullptr, 0, 0, 11};
  const PendingCase dataType = {nullptr, "Velk4017", "AI3", velk::kTypeWord, 13, 13};
  int wrongFirst = 0;
  int wrongSecond = 0;
  std::thread a(serve, first.d, std::cref(deviceAddress), &wrongFirst);
  std::thread b(serve, second.d, std::cref(dataType), &wrongSecond);
  a.join();
  b.join();
  EXPECT_EQ(wrongFirst, 0);
  EXPECT_EQ(wrongSecond, 0);
}

}  // namespace
