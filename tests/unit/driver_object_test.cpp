// The state of a driver object once construction is complete, and its
// destruction: the port it holds is closed exactly once.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "driver/velk4000_pro.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"

namespace {

using testsupport::FakeSerial;
using testsupport::VirtualClock;

TEST(DriverObject, DefaultsAfterConstruction) {
  VirtualClock clock;
  FakeSerial line(clock);
  driver::CVelk4000Pro drv(driver::DriverServices{&line, &clock});

  EXPECT_EQ(drv.errorCode, -1);
  EXPECT_EQ(drv.line().answerTimeoutMs, 8000);
  EXPECT_EQ(drv.line().pollDelayMs, 15);
  EXPECT_EQ(drv.line().portHandle(), platform::kNoHandle);
  EXPECT_EQ(drv.line().portSettingsGiven, 0);

  EXPECT_EQ(std::string(drv.data7810().hexDigitTable, 16), "0123456789ABCDEF");
  EXPECT_EQ(drv.data7810().d7810OutputShadow[0], 0);
  EXPECT_EQ(drv.data7810().d7810ReceivedCount, 0);
  EXPECT_EQ(std::string(drv.data7810().d7810ReceiveBuffer, 2048), std::string(2048, '0'));

  EXPECT_EQ(drv.data7210().baudCodeMap.size(), 6u);
  EXPECT_EQ(drv.data7210().baudCodeMap.at("6"), "9600");
  EXPECT_EQ(drv.data7210().segmentMap.size(), 12u);
  EXPECT_EQ(drv.data7210().segmentMap.at("-"), "4246");

  EXPECT_EQ(drv.GetErrorText(), nullptr);
  EXPECT_TRUE(line.log.empty()) << "construction must not touch the line";
}

TEST(DriverObject, DestructionClosesTheOpenPortOnce) {
  VirtualClock clock;
  FakeSerial line(clock);
  line.AddPort("COM3");
  {
    driver::CVelk4000Pro drv(driver::DriverServices{&line, &clock});
    const velk::PortSettings s = testsupport::MakeSettings("COM3");
    ASSERT_EQ(drv.OpenPort(0, &s), 1);
    EXPECT_EQ(line.openHandles.size(), 1u);
  }
  EXPECT_TRUE(line.openHandles.empty());
  EXPECT_EQ(line.closed.size(), 1u);
  EXPECT_EQ(line.doubleCloses, 0);
  EXPECT_EQ(line.callsOnClosedHandles, 0);
}

}  // namespace
