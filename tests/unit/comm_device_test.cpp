#include <string>
#include <vector>

#include "serial_line_fixture.h"

namespace {

using testsupport::FakeSerial;
using testsupport::MakeSettings;
using testsupport::VirtualClock;

class CommDevice : public ::testing::Test {
 protected:
  void SetUp() override { fake.AddPort("COM1"); }
  void TearDown() override {
    EXPECT_EQ(fake.doubleCloses, 0);
    EXPECT_EQ(fake.callsOnClosedHandles, 0);
  }
  void OpenDevice(uint32_t baud = 9600, int16_t timeoutMs = 500) {
    const velk::PortSettings s = MakeSettings("COM1", baud, timeoutMs);
    ASSERT_EQ(device.Configure(&s), 1);
    fake.log.clear();
  }

  VirtualClock clock;
  FakeSerial fake{clock};
  serial::CCOMDevice device{fake, clock};
};

TEST_F(CommDevice, RuntimeClassRecords) {
  const serial::RuntimeClass* rc = device.GetRuntimeClass();
  EXPECT_STREQ(rc->className, "CCOMDevice");
  EXPECT_EQ(rc->schema, 0xFFFFu);
  ASSERT_NE(rc->base, nullptr);
  EXPECT_STREQ(rc->base->className, "CCommDevice");
  EXPECT_EQ(rc->base->base, nullptr);
}

TEST_F(CommDevice, EveryOperationOfThePlainDeviceFails) {
  serial::CCommDevice plain;
  char bytes[4];
  uint32_t n = 0;
  int32_t number = 7;
  const velk::PortSettings s = MakeSettings();
  EXPECT_EQ(plain.GetRuntimeClass()->className, std::string("CCommDevice"));
  EXPECT_EQ(plain.Configure(&s), 0);
  EXPECT_EQ(plain.Open(0), 0);
  EXPECT_EQ(plain.Close(), 0);
  EXPECT_EQ(plain.Write(0, 1, bytes, &n), 0);
  EXPECT_EQ(plain.Read(0, 1, bytes, &n), 0);
  EXPECT_EQ(plain.Attach(3), 0);
  EXPECT_EQ(plain.GetHandle(), platform::kNoHandle);
  EXPECT_EQ(plain.Purge(), 0);
  EXPECT_EQ(plain.ParseNumber("12", &number), 0);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(plain.IsOpen(0), 0);
  EXPECT_EQ(plain.m_nTimeout, 3000);
}

TEST_F(CommDevice, OpenWithoutSettingsOpensNothing) {
  EXPECT_EQ(device.Open(0), 0);
  EXPECT_EQ(device.Configure(nullptr), 0);
  EXPECT_TRUE(fake.log.empty());
}

TEST_F(CommDevice, DevicePath) {
  struct Case {
    const char* name;
    bool needColon;
    const char* path;
  } cases[] = {{"COM1", false, "//./COM1"},    {"//./COM1", false, "//./COM1"}, {"x//./COM1", false, "x//./COM1"},
               {"COM1", true, "//./COM1:"},    {"COM1:", true, "//./COM1:"},    {"\\\\.\\COM1", false, "//./\\\\.\\COM1"},
               {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", true, "//./ABCDEFGHIJKLMNOPQRSTUVWXYZ012345:"}};
  for (const Case& c : cases) {
    velk::PortSettings s = MakeSettings();
    memcpy(s.portName, c.name, strnlen(c.name, sizeof s.portName));  // 32 characters: no NUL
    fake.needColon = c.needColon;
    fake.log.clear();
    device.Configure(&s);
    ASSERT_FALSE(fake.log.empty());
    EXPECT_EQ(fake.log[0], std::string("open ") + c.path);
    device.Close();
  }
}

TEST_F(CommDevice, OpeningSetsTheWholeBaudRateAndAWriteTimeOutByRate) {
  struct Case {
    uint32_t baud;
    uint32_t multiplier;
  } cases[] = {{9600, 15}, {38400, 6}, {115200, 4}, {1200, 99}, {230400, 3}, {0, 115203}};
  for (const Case& c : cases) {
    OpenDevice(c.baud);
    EXPECT_EQ(fake.lastState.baudRate, c.baud);
    EXPECT_EQ(fake.lastTimeouts.readInterval, 0xFFFFFFFFu);
    EXPECT_EQ(fake.lastTimeouts.writeTotalMultiplier, c.multiplier) << c.baud;
    EXPECT_EQ(fake.lastTimeouts.writeTotalConstant, 1000u);
  }
  // Re-opening closed the port held before.
  EXPECT_EQ(fake.closed.size(), 5u);
}

TEST_F(CommDevice, OpenLeavesEventMaskAndRequestToSendAlone) {
  const velk::PortSettings s = MakeSettings("COM1", 9600, 500);
  ASSERT_EQ(device.Configure(&s), 1);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"open //./COM1", "setup 1024 512", "state 9600 8 0 0", "purge 15",
                                                "timeouts 4294967295 0 0 15 1000"}));
}

TEST_F(CommDevice, TimeOutChangesOnlyWhenOpenSucceeds) {
  velk::PortSettings s = MakeSettings("COM7", 9600, 700);
  EXPECT_EQ(device.Configure(&s), 0);
  EXPECT_EQ(device.m_nTimeout, 3000);
  fake.failSetState = true;
  s = MakeSettings("COM1", 9600, 700);
  EXPECT_EQ(device.Configure(&s), 0);
  EXPECT_EQ(device.m_nTimeout, 3000);
  EXPECT_EQ(device.m_hPort, platform::kNoHandle);
  EXPECT_TRUE(fake.openHandles.empty());
  fake.failSetState = false;
  s.timeoutMs = -2;
  EXPECT_EQ(device.Configure(&s), 1);
  EXPECT_EQ(device.m_nTimeout, -2);
}

TEST_F(CommDevice, ReadTakesWhatIsWaitingAfterAPause) {
  OpenDevice();
  char bytes[16];
  uint32_t n = 99;
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(device.Read(0, sizeof bytes, bytes, &n), 1);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(fake.waits, std::vector<uint32_t>{100});  // waited on the line, not spun
  EXPECT_EQ(clock.TickMs() - start, 100u);

  fake.Inject(0, "abcdef");
  ASSERT_EQ(device.Read(0, 4, bytes, &n), 1);
  EXPECT_EQ(std::string(bytes, n), "abcd");
  EXPECT_EQ(fake.InputWaiting(), 2u);

  // A full input queue has lost bytes: it is thrown away.
  fake.Inject(0, std::string(1024, 'x'));
  ASSERT_EQ(device.Read(0, sizeof bytes, bytes, &n), 1);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(fake.InputWaiting(), 0u);
  EXPECT_EQ(fake.log.back(), "purge 12");

  fake.failReads = true;
  fake.Inject(0, "a");
  EXPECT_EQ(device.Read(0, sizeof bytes, bytes, &n), 0);
}

TEST_F(CommDevice, WriteHasNoDirectionControl) {
  OpenDevice();
  uint32_t n = 0;
  ASSERT_EQ(device.Write(0, 3, "abc", &n), 1);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(fake.log, std::vector<std::string>{"write abc"});
  EXPECT_EQ(device.Write(0, 3, nullptr, &n), 0);
  EXPECT_EQ(device.Write(0, 3, "abc", nullptr), 0);
  fake.failWrites = true;
  EXPECT_EQ(device.Write(0, 3, "abc", &n), 0);
}

TEST_F(CommDevice, ClosedDeviceRefusesAndClosesHarmlessly) {
  char bytes[4];
  uint32_t n = 0;
  EXPECT_EQ(device.Write(0, 1, "a", &n), 0);
  EXPECT_EQ(device.Read(0, 1, bytes, &n), 0);
  EXPECT_EQ(device.Purge(), 0);
  EXPECT_EQ(device.IsOpen(0), 0);
  OpenDevice();
  EXPECT_EQ(device.IsOpen(0), 1);
  EXPECT_EQ(device.Close(), 1);
  EXPECT_EQ(device.Close(), 1);
  EXPECT_EQ(fake.closed.size(), 1u);
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(CommDevice, AttachClosesTheOldPortButNotTheOneAdopted) {
  OpenDevice();
  const platform::Handle first = device.m_hPort;
  EXPECT_EQ(device.Attach(first), 1);
  EXPECT_TRUE(fake.closed.empty());
  fake.AddPort("COM2");
  const platform::Handle other = fake.Open("COM2");
  EXPECT_EQ(device.Attach(other), 1);
  EXPECT_EQ(fake.closed, std::vector<platform::Handle>{first});
  EXPECT_EQ(device.GetHandle(), other);
}

TEST_F(CommDevice, ParseNumber) {
  struct Case {
    std::string text;
    int32_t result;
    int32_t number;
  } cases[] = {{"123", 1, 123},       {"-45", 1, -45}, {"", 0, 9},     {"12a", 0, 9},
               {"-", 0, 9},           {" 1", 0, 9},    {"1-2", 1, 1},  {std::string("1\0" "2", 3), 0, 9},
               {"2147483647", 1, 2147483647}, {"2147483648", 0, 9}};
  for (const Case& c : cases) {
    int32_t number = 9;
    EXPECT_EQ(device.ParseNumber(c.text, &number), c.result) << c.text;
    EXPECT_EQ(number, c.number) << c.text;
  }
  EXPECT_EQ(device.ParseNumber("1", nullptr), 0);
}

}  // namespace
