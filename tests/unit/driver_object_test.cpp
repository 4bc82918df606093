// The state of a driver object once construction is complete, and its
// destruction: the port it holds is closed exactly once.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "driver/line_driver.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"

namespace {

using testsupport::FakeSerial;
using testsupport::VirtualClock;

TEST(DriverObject, DefaultsAfterConstruction) {
  VirtualClock clock;
  FakeSerial line(clock);
  driver::LineDriver drv(driver::DriverServices{&line, &clock});

  EXPECT_EQ(drv.errorCode, -1);
  EXPECT_EQ(drv.line().answerTimeoutMs, 8000);
  EXPECT_EQ(drv.line().pollDelayMs, 15);
  EXPECT_EQ(drv.line().portHandle(), platform::kNoHandle);
  EXPECT_FALSE(drv.line().portSettingsGiven);

  EXPECT_EQ(drv.GetErrorText(), nullptr);
  EXPECT_TRUE(line.log.empty()) << "construction must not touch the line";
}

TEST(DriverObject, DestructionClosesTheOpenPortOnce) {
  VirtualClock clock;
  FakeSerial line(clock);
  line.AddPort("COM3");
  {
    driver::LineDriver drv(driver::DriverServices{&line, &clock});
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
