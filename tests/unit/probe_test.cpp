#include <gtest/gtest.h>

#include "driver_on_fake_line.h"
#include "protocol/probe_commands.h"

namespace {

using testsupport::DriverOnFakeLine;

TEST(ProbeLine, ExactBytes) {
  struct Case {
    int32_t address;
    bool checksum;
    const char* line;
  } cases[] = {
      {1, false, "$01M\r"},
      {1, true, "$01MD2\r"},  // 36 + 48 + 49 + 77 = 210 = 0xD2
      {255, false, "$FFM\r"},
      {256, false, "$00M\r"},  // only the low byte goes on the wire
  };
  for (const Case& c : cases) {
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    const int32_t n = protocol::BuildProbeLine(buffer, c.address, c.checksum);
    EXPECT_EQ(std::string(buffer, n), c.line) << c.address;
    EXPECT_EQ(buffer[n], '\0');
  }
  char buffer[16];
  EXPECT_EQ(std::string(buffer, protocol::BuildAlarmDisableLine(buffer, 0x1A)), "@1ADA\r");
}

class ProbeTest : public DriverOnFakeLine {};

TEST_F(ProbeTest, SendsTheProbeLineWithAndWithoutChecksum) {
  OpenLine();
  AnswerWith({{"$01M\r", "!01Velk4017\r"}, {"$01MD2\r", "!01Velk4017B6\r"}});
  velk::DeviceRecord plain{1, 1, {}};
  velk::DeviceRecord summed{1, 0, {}};
  EXPECT_EQ(driver.ProbeDevice("Velk4017", 1, &plain), 1);
  EXPECT_EQ(driver.ProbeDevice("Velk4017", 1, &summed), 1);
  EXPECT_EQ(fake.writes, (std::vector<std::string>{"$01M\r", "$01MD2\r"}));
}

TEST_F(ProbeTest, AnyAnsweredLineCountsEvenARefusalOrAnUnknownType) {
  OpenLine();
  AnswerWith({{"$07M\r", "?07\r"}});
  velk::DeviceRecord device{7, 1, {}};
  EXPECT_EQ(driver.ProbeDevice("NoSuchModule", 7, &device), 1);
}

// Only the module asked answers for itself: noise ending in a carriage
// return, or another module's answer, finds nothing, and neither switches
// an alarm off. Either leaves the line waiting for quiet.
TEST_F(ProbeTest, AnswersOfAnotherModuleOrNoiseDoNotCount) {
  struct Case {
    const char* answer;
    int32_t probe;
    int32_t alarmOff;
  } cases[] = {
      {"!07\r", 1, 1}, {"?07\r", 1, 0}, {"!08\r", 0, 0}, {"?17\r", 0, 0}, {">07\r", 0, 0}, {"!0\r", 0, 0}, {"\r", 0, 0},
  };
  OpenLine(100);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    AnswerWith({{"$07M\r", c.answer}, {"@07DA\r", c.answer}});
    velk::DeviceRecord device{7, 1, {}};
    EXPECT_EQ(driver.ProbeDevice("Velk4017", 7, &device), c.probe);
    EXPECT_EQ(driver.line().outOfStep(), c.probe == 0);
    EXPECT_EQ(driver.DisableDeviceAlarm("Velk4011", 7, 0), c.alarmOff);
  }
}

TEST_F(ProbeTest, ReopensFromStoredSettingsAfterClosePort) {
  OpenLine();
  AnswerWith({{"$01M\r", "!01\r"}});
  ASSERT_EQ(driver.ClosePort(), 1);
  ASSERT_EQ(driver.line().portHandle(), platform::kNoHandle);
  fake.log.clear();
  velk::DeviceRecord device{1, 1, {}};
  EXPECT_EQ(driver.ProbeDevice("Velk4017", 1, &device), 1);
  EXPECT_NE(driver.line().portHandle(), platform::kNoHandle);
  ASSERT_FALSE(fake.log.empty());
  EXPECT_EQ(fake.log.front(), "open COM1");
  EXPECT_EQ(fake.writes, std::vector<std::string>{"$01M\r"});
}

TEST_F(ProbeTest, WithoutSettingsAClosedLineFailsWithoutTraffic) {
  velk::DeviceRecord device{1, 1, {}};
  EXPECT_EQ(driver.ProbeDevice("Velk4017", 1, &device), 0);
  EXPECT_TRUE(fake.log.empty());
}

TEST_F(ProbeTest, SilentModuleFailsAfterTheAnswerTimeout) {
  OpenLine(200);
  velk::DeviceRecord device{1, 1, {}};
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(driver.ProbeDevice("Velk4017", 1, &device), 0);
  EXPECT_GE(clock.TickMs() - start, 200u);
  EXPECT_LE(clock.TickMs() - start, 300u);
}

TEST_F(ProbeTest, MissingNameOrDeviceFailsWithoutTraffic) {
  OpenLine();
  velk::DeviceRecord device{1, 1, {}};
  EXPECT_EQ(driver.ProbeDevice(nullptr, 1, &device), 0);
  EXPECT_EQ(driver.ProbeDevice("Velk4017", 1, nullptr), 0);
  EXPECT_TRUE(fake.writes.empty());
}

TEST_F(ProbeTest, DataTypesUseTheirOwnProbes) {
  OpenLine();
  AnswerWith({{"$05F\r", "!05A1.02\r"}, {"$022\r", "!02000600\r"}});
  velk::DeviceRecord device{5, 0, {}};
  EXPECT_EQ(driver.ProbeDevice("data7810", 5, &device), 1);
  EXPECT_EQ(driver.ProbeDevice("DATA7210", 5, &device), 1);
  // Neither re-opens the line, and neither carries a checksum.
  EXPECT_EQ(fake.writes, (std::vector<std::string>{"$05F\r", "$022\r"}));
  for (const std::string& entry : fake.log) EXPECT_NE(entry.rfind("open", 0), 0u) << entry;
}

TEST_F(ProbeTest, AlarmDisableOnlyForTheFourTypes) {
  OpenLine();
  AnswerWith({{"@01DA\r", "!01\r"}});
  struct Case {
    const char* type;
    bool sends;
  } cases[] = {
      {"Velk4011", true},  {"Velk4011D", true},  {"Velk4012", true},  {"Velk4016", true},
      {"velk4012", true},  {"Velk4017", false},  {"Velk4013", false}, {"Velk4014D", false},
      {"Data7210", false}, {"Velk4011 ", false}, {nullptr, false},
  };
  for (const Case& c : cases) {
    fake.writes.clear();
    EXPECT_EQ(driver.DisableDeviceAlarm(c.type, 1, 0), 1) << (c.type ? c.type : "null");
    EXPECT_EQ(fake.writes, c.sends ? std::vector<std::string>{"@01DA\r"} : std::vector<std::string>{})
        << (c.type ? c.type : "null");
  }
}

TEST_F(ProbeTest, AlarmDisableFailsOnRefusalOrSilence) {
  OpenLine(100);
  AnswerWith({{"@02DA\r", "?02\r"}});
  EXPECT_EQ(driver.DisableDeviceAlarm("Velk4016", 2, 0), 0);
  EXPECT_EQ(driver.DisableDeviceAlarm("Velk4016", 3, 0), 0);
  EXPECT_EQ(fake.writes, (std::vector<std::string>{"@02DA\r", "@03DA\r"}));
}

}  // namespace
