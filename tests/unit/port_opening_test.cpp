#include <set>
#include <string>
#include <vector>

#include "serial_line_fixture.h"

namespace {

using testsupport::MakeSettings;

class PortOpening : public testsupport::SerialLineTest {};

TEST_F(PortOpening, OpensAndConfiguresThePort) {
  const velk::PortSettings s = MakeSettings("COM1", 19200, 250);
  ASSERT_EQ(line.OpenPort(&s), 1);
  EXPECT_EQ(fake.log,
            (std::vector<std::string>{"open COM1", "configure 19200 8 0 1", "receive", "discard both", "limit 100 0"}));
  EXPECT_EQ(line.portHandle(), fake.lastOpened);
  EXPECT_EQ(line.answerTimeoutMs, 250);
  EXPECT_EQ(line.directionControl, serial::DirectionControl::kRequestToSend);
  EXPECT_TRUE(line.portSettingsGiven);
  EXPECT_EQ(memcmp(&line.portSettings, &s, sizeof s), 0);
}

TEST_F(PortOpening, SettingsIntoTheLineFraming) {
  struct Case {
    uint32_t baud;
    int16_t stopBits;
    uint8_t parity;
    uint32_t wantBaud;
    uint8_t wantStop;
  } cases[] = {{9600, 0, 0, 9600, 1},  {9600, 1, 1, 9600, 1},     {9600, 2, 2, 9600, 2},    {9600, 3, 3, 9600, 1},
               {9600, -1, 4, 9600, 1}, {115200, 1, 0, 115200, 1}, {230400, 2, 0, 230400, 2}};
  for (const Case& c : cases) {
    velk::PortSettings s = MakeSettings("COM1", c.baud);
    s.stopBits = c.stopBits;
    s.parity = c.parity;
    s.dataBits = 7;
    ASSERT_EQ(line.OpenPort(&s), 1);
    EXPECT_EQ(fake.lastSettings.baudRate, c.wantBaud);
    EXPECT_EQ(fake.lastSettings.stopBits, c.wantStop) << c.stopBits;
    EXPECT_EQ(fake.lastSettings.parity, c.parity);
    EXPECT_EQ(fake.lastSettings.dataBits, 7);
    line.ClosePort();
  }
}

TEST_F(PortOpening, TimeOutIsSignExtended) {
  const velk::PortSettings s = MakeSettings("COM1", 9600, static_cast<int16_t>(0xFFFF));
  ASSERT_EQ(line.OpenPort(&s), 1);
  EXPECT_EQ(line.answerTimeoutMs, -1);
}

TEST_F(PortOpening, PortThatCannotOpenKeepsTheSettings) {
  const velk::PortSettings s = MakeSettings("COM9", 9600, 700);
  EXPECT_EQ(line.OpenPort(&s), 0);
  EXPECT_EQ(line.portHandle(), platform::kNoHandle);
  EXPECT_TRUE(line.portSettingsGiven);
  EXPECT_EQ(line.answerTimeoutMs, 700);
  EXPECT_EQ(line.directionControl, serial::DirectionControl::kRequestToSend);
  EXPECT_STREQ(line.portSettings.portName, "COM9");
  EXPECT_EQ(line.diagnostics.lastPortError, velk::kPortOpenMissing);

  // Once the port exists, the re-opening of the probe finds it.
  fake.AddPort("COM9");
  line.Reopen();
  EXPECT_NE(line.portHandle(), platform::kNoHandle);
  EXPECT_EQ(line.diagnostics.lastPortError, velk::kPortOpenOk);
  EXPECT_EQ(line.OpenPort(nullptr), 0);
}

TEST_F(PortOpening, RefusedSettingsCloseTheNewPort) {
  fake.failSetState = true;
  const velk::PortSettings s = MakeSettings();
  EXPECT_EQ(line.OpenPort(&s), 0);
  EXPECT_EQ(line.portHandle(), platform::kNoHandle);
  EXPECT_EQ(fake.openHandles.size(), 0u);
  EXPECT_EQ(fake.closed.size(), 1u);
  EXPECT_EQ(line.diagnostics.lastPortError, velk::kPortOpenSettingsRefused);
}

// OpenPort lets go of the port it holds before it opens: a failed opening
// leaves no port (packets fail with "no port", never reach the old module),
// and the held port opened again takes every new setting at once.
TEST_F(PortOpening, OpenPortReleasesTheHeldPortFirst) {
  struct Case {
    const char* name;
    bool refuseSettings;
    bool opens;
  } cases[] = {{"COM9", false, false}, {"COM2", true, false}, {"COM1", false, true}, {"COM2", false, true}};
  fake.AddPort("COM2");
  for (const Case& c : cases) {
    OpenLine(100);
    const platform::Handle old = line.portHandle();
    fake.failSetState = c.refuseSettings;
    const velk::PortSettings next = MakeSettings(c.name, 4800, 300);
    EXPECT_EQ(line.OpenPort(&next), c.opens ? 1 : 0) << c.name;
    fake.failSetState = false;
    EXPECT_EQ(fake.openHandles.count(old), 0u) << c.name;
    EXPECT_EQ(line.answerTimeoutMs, 300);
    if (c.opens) {
      EXPECT_EQ(fake.openHandles, std::set<platform::Handle>{line.portHandle()}) << c.name;
      EXPECT_EQ(fake.lastSettings.baudRate, 4800u) << c.name;
    } else {
      EXPECT_EQ(line.portHandle(), platform::kNoHandle) << c.name;
      EXPECT_TRUE(fake.openHandles.empty()) << c.name;
      EXPECT_EQ(Exchange("#01\r"), 0);
      EXPECT_EQ(line.diagnostics.outcome, velk::kOutcomeNoPort) << c.name;
      line.diagnostics.BeginPacket();
    }
    line.ClosePort();
  }
}

TEST_F(PortOpening, ClosePortClosesOnceAndIsHarmlessAgain) {
  OpenLine();
  const platform::Handle held = line.portHandle();
  EXPECT_EQ(line.ClosePort(), 1);
  EXPECT_EQ(line.ClosePort(), 1);
  EXPECT_EQ(fake.closed, std::vector<platform::Handle>{held});
  EXPECT_EQ(line.portHandle(), platform::kNoHandle);
  EXPECT_TRUE(line.portSettingsGiven);
}

}  // namespace
