#include <gtest/gtest.h>

#include <limits>

#include "families/family.h"
#include "driver_on_fake_line.h"
#include "protocol/register_tables.h"

namespace {

using testsupport::AtomOfSlot;
using testsupport::AtomString;
using testsupport::DriverOnFakeLine;
using testsupport::TestPacket;
namespace reg = protocol::reg;

// The configuration text's fixed parts in code page 936.
const std::string kAddressText = "\xC4\xA3\xBF\xE9\xB5\xD8\xD6\xB7\x3A";
const std::string kBaudText = "\x20\xB2\xA8\xCC\xD8\xC2\xCA\x3A";
const std::string kNoCheck = "\x20\xCE\xDE\xD0\xA3\xD1\xE9";
const std::string kSumCheck = "\x20\xC0\xDB\xBC\xD3\xD0\xA3\xD1\xE9";

class Data7210Test : public DriverOnFakeLine {
 protected:
  void SetUp() override {
    DriverOnFakeLine::SetUp();
    OpenLine(1000);
  }
  int32_t Process(velk::Packet& packet) {
    return families::kData7210.processPacket(driver.bus(), packet, protocol::ModuleTypeOf("Data7210"));
  }
  int32_t Process2(velk::Packet& packet) {
    return families::kData7210.processPacket2(driver.bus(), packet, protocol::ModuleTypeOf("Data7210"));
  }

  // The command sent for one item, or "" when the packet was refused
  // before anything went on the line.
  std::string Command(TestPacket<velk::TagItem2>& p) {
    fake.writes.clear();
    Process2(p.get());
    return fake.writes.empty() ? "" : fake.writes.front();
  }
};

TEST_F(Data7210Test, DisplayCommands) {
  // A number the six positions cannot show as it is is refused before
  // anything is sent: one too long, one whose sign would be cut, one with a
  // character the segments cannot form.
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  const float kInfinity = std::numeric_limits<float>::infinity();
  struct Case {
    int16_t dataType;
    float number;  // stored as the item's data type holds it
    int16_t decimals;
    int16_t channel;
    std::string command;  // empty: nothing is sent
  } cases[] = {
      {velk::kTypeFloat, 12.5f, 1, 2, "#02FFFFFFF92492\r"},
      {velk::kTypeFloat, -5.5f, 1, 10, "#0AFFFFFFBF1292\r"},
      {velk::kTypeShort, 7, 0, 2, "#02FFFFFFFFFFF8\r"},
      {velk::kTypeFloat, 1234567.0f, 0, 2, ""},                 // "1.23457e+06": too long
      {velk::kTypeFloat, 12345.678f, 3, 2, ""},                 // eight digits
      {velk::kTypeFloat, 99999.9f, 1, 2, "#02909090901090\r"},  // six digits fit
      {velk::kTypeWord, 123456, 0, 2, "#02F9A4B0999282\r"},
      {velk::kTypeFloat, 100000.0f, 2, 2, ""},  // once shown as 0000.00
      {velk::kTypeShort, -12345, 0, 2, "#02BFF9A4B09992\r"},
      {velk::kTypeFloat, -12345.6f, 2, 2, ""},  // once shown as 2345.60
      {velk::kTypeWord, 1000000, 0, 2, ""},     // "1e+06": once sent as zero bytes
      {velk::kTypeFloat, kNaN, 1, 2, ""},
      {velk::kTypeFloat, kInfinity, 0, 2, ""},
      {velk::kTypeFloat, -kInfinity, 2, 2, ""},
      {velk::kTypeFloat, 3.14f, 2, 2, "#02FFFFFF30F999\r"},
      {velk::kTypeFloat, 0.5f, 1, 2, "#02FFFFFFFF4092\r"},
      {velk::kTypeWord, 65535, 2, 255, "#FFFF829292B092\r"},  // decimals apply to floats only
      {velk::kTypeShort, -32768, 0, 2, "#02BFB0A4F88280\r"},
      {velk::kTypeLong, 42, 0, 2, "#02FFFFFFFFFFC0\r"},    // other types show 0
      {velk::kTypeFloat, 1e-5f, 0, 2, ""},                 // "1e-05"
      {velk::kTypeShort, 1, 0, 256, "#10FFFFFFFFFFF9\r"},  // "%X" gives "100": first two
  };
  for (const Case& c : cases) {
    TestPacket<velk::TagItem2> p(0, reg::kSetDat, 1, "Data7210");
    p.header().decimals = c.decimals;
    velk::TagItem2& item = p.Add(c.channel, c.dataType, reg::kSetDat);
    if (c.dataType == velk::kTypeFloat)
      protocol::StoreFloat(item.value, c.number);
    else
      protocol::StoreLong(item.value, static_cast<uint32_t>(static_cast<int64_t>(c.number)));
    driver.line().diagnostics.BeginPacket();
    EXPECT_EQ(Command(p), c.command) << c.number << " decimals " << c.decimals;
    if (c.command.empty()) { EXPECT_EQ(driver.line().diagnostics.outcome, velk::kOutcomeNotBuilt) << c.number; }
  }
}

TEST_F(Data7210Test, ReadCommandsAndRefusedRequests) {
  struct Case {
    int16_t registerCode;
    int16_t direction;
    std::string command;
  } cases[] = {
      {reg::kCfgStaT, 0, "$022\r"}, {reg::kMdVerF, 0, "$02F\r"}, {reg::kMdNameM, 0, "$02M\r"},
      {reg::kSetDat, 0, ""},        {reg::kCfgStaT, 1, ""},      {reg::kSetDat, 2, ""},
  };
  for (const Case& c : cases) {
    TestPacket<velk::TagItem2> p(0, c.registerCode, c.direction, "Data7210");
    p.Add(2, velk::kTypeWord, c.registerCode);
    EXPECT_EQ(Command(p), c.command) << c.registerCode << "/" << c.direction;
  }
  TestPacket<velk::TagItem2> empty(0, reg::kCfgStaT, 0, "Data7210");
  EXPECT_EQ(Command(empty), "");
}

// An answer is used only when it comes from the display asked and holds
// every field its text is made of; anything else fails the read as a bad
// answer and leaves the item alone.
TEST_F(Data7210Test, AnswersBecomeTexts) {
  const std::string kBad = "(bad)";
  struct Case {
    int16_t registerCode;
    std::string answer;
    std::string text;  // kBad: the read fails
  } cases[] = {
      {reg::kCfgStaT, "!02000600\r", kAddressText + "02" + kBaudText + "9600" + kSumCheck},
      {reg::kCfgStaT, "!020008F0\r", kAddressText + "02" + kBaudText + "38400" + kNoCheck},
      {reg::kCfgStaT, "!020009f0\r", kAddressText + "02" + kBaudText + kNoCheck},  // unknown code
      {reg::kCfgStaT, "!02000600\r\n", kAddressText + "02" + kBaudText + "9600" + kSumCheck},
      {reg::kCfgStaT, "!0\r", kBad},         // short
      {reg::kCfgStaT, "!03000600\r", kBad},  // another display
      {reg::kMdVerF, "!02A1.05\r", "A1.05"},
      {reg::kMdVerF, std::string("!02A1.05\r\0", 10), "A1.05"},
      {reg::kMdVerF, "!02A1.05\r\xFF", "A1.05"},
      {reg::kMdVerF, "!02A1\r", kBad},
      {reg::kMdVerF, "!07A\r", kBad},
      {reg::kMdVerF, ">02A1.05\r", kBad},  // no lead at all: noise, then silence
      {reg::kMdNameM, "!02Display7\r", "Display7"},
      {reg::kMdNameM, "!02\r", ""},
      {reg::kMdNameM, "!09Other999\r", kBad},
  };
  const char* commands[] = {"$022\r", "$02F\r", "$02M\r"};
  for (const Case& c : cases) {
    AnswerWith({{commands[c.registerCode], c.answer}});
    TestPacket<velk::TagItem2> p(0, c.registerCode, 0, "Data7210");
    protocol::StoreLong(p.Add(2, velk::kTypeString, c.registerCode).value, 0xABCD0000u);
    driver.line().diagnostics.BeginPacket();
    if (c.text == kBad) {
      EXPECT_EQ(Process2(p.get()), 0) << c.answer;
      EXPECT_EQ(protocol::SlotU32(p.item(0).value), 0xABCD0000u) << c.answer;
      EXPECT_EQ(p.item(0).quality, 0) << c.answer;
      continue;
    }
    ASSERT_EQ(Process2(p.get()), 1) << c.answer;
    EXPECT_EQ(AtomString(AtomOfSlot(p.item(0).value)), c.text) << c.answer;
    EXPECT_EQ(protocol::SlotU32(p.item(0).value) >> 16, 0xABCDu);
    EXPECT_EQ(p.item(0).quality, velk::kQualityGood);
  }
}

TEST_F(Data7210Test, LongNameIsCutToWhatAnAtomHolds) {
  AnswerWith({{"$02M\r", "!02" + std::string(400, 'n') + "\r"}});
  TestPacket<velk::TagItem2> p(0, reg::kMdNameM, 0, "Data7210");
  p.Add(2, velk::kTypeString, reg::kMdNameM);
  ASSERT_EQ(Process2(p.get()), 1);
  EXPECT_EQ(AtomString(AtomOfSlot(p.item(0).value)), std::string(255, 'n'));
}

TEST_F(Data7210Test, RefusalFailsAndLeavesTheItemsAlone) {
  AnswerWith({{"$022\r", "?02\r"}, {"#02FFFFFFFFFFF8\r", "?02\r"}});
  for (int16_t direction : {0, 1}) {
    const int16_t r = direction == 0 ? reg::kCfgStaT : reg::kSetDat;
    TestPacket<velk::TagItem2> p(0, r, direction, "Data7210");
    velk::TagItem2& item = p.Add(2, velk::kTypeShort, r);
    protocol::StoreLong(item.value, 7);
    item.quality = velk::kQualityGood;
    item.timeStampLow = 11;
    driver.line().diagnostics.BeginPacket();
    EXPECT_EQ(Process2(p.get()), 0);
    EXPECT_EQ(driver.line().diagnostics.outcome, velk::kOutcomeRefused);
    EXPECT_EQ(item.quality, velk::kQualityGood);
    EXPECT_EQ(item.timeStampLow, 11u);
    EXPECT_EQ(protocol::SlotU32(item.value), 7u);
  }
}

TEST_F(Data7210Test, IDriverFormCopiesGoodValuesAndFailsOnRefusal) {
  AnswerWith({{"$02F\r", "!02B2.00\r"}, {"$03F\r", "?03\r"}, {"#02FFFFFFFFFFF8\r", "!02\r"}});
  TestPacket<velk::TagItem> good(0, reg::kMdVerF, 0, "Data7210");
  good.Add(2, velk::kTypeString, reg::kMdVerF);
  ASSERT_EQ(Process(good.get()), 1);
  EXPECT_EQ(AtomString(AtomOfSlot(good.item(0).value)), "B2.00");

  TestPacket<velk::TagItem> refused(0, reg::kMdVerF, 0, "Data7210");
  protocol::StoreLong(refused.Add(3, velk::kTypeString, reg::kMdVerF).value, 99);
  EXPECT_EQ(Process(refused.get()), 0);
  EXPECT_EQ(protocol::SlotU32(refused.item(0).value), 99u);

  TestPacket<velk::TagItem> write(0, reg::kSetDat, 1, "Data7210");
  protocol::StoreLong(write.Add(2, velk::kTypeShort, reg::kSetDat).value, 7);
  EXPECT_EQ(Process(write.get()), 1);
  EXPECT_EQ(protocol::SlotU32(write.item(0).value), 7u);

  // A read answers its first item only; an item without quality cannot be
  // left unanswered in a good packet.
  TestPacket<velk::TagItem> two(0, reg::kMdVerF, 0, "Data7210");
  two.Add(2, velk::kTypeString, reg::kMdVerF);
  protocol::StoreLong(two.Add(2, velk::kTypeString, reg::kMdVerF).value, 99);
  EXPECT_EQ(Process(two.get()), 0);
  EXPECT_EQ(AtomString(AtomOfSlot(two.item(0).value)), "B2.00");
  EXPECT_EQ(protocol::SlotU32(two.item(1).value), 99u);
}

TEST_F(Data7210Test, WriteStampsEveryItem) {
  AnswerWith({{"#02FFFFFFFFFFF8\r", "!02\r"}});
  TestPacket<velk::TagItem2> p(0, reg::kSetDat, 1, "Data7210");
  protocol::StoreLong(p.Add(2, velk::kTypeShort, reg::kSetDat).value, 7);
  p.Add(2, velk::kTypeShort, reg::kSetDat);
  ASSERT_EQ(Process2(p.get()), 1);
  EXPECT_EQ(p.item(0).quality, velk::kQualityGood);
  EXPECT_EQ(p.item(1).quality, velk::kQualityGood);
}

TEST_F(Data7210Test, ExchangeAssemblesPiecesAndPurgesFirst) {
  fake.responder = [](const std::string&) { return std::vector<testsupport::Chunk>{{30, "!02"}, {250, "000600\r"}}; };
  TestPacket<velk::TagItem2> p(0, reg::kCfgStaT, 0, "Data7210");
  p.Add(2, velk::kTypeString, reg::kCfgStaT);
  ASSERT_EQ(Process2(p.get()), 1);
  EXPECT_EQ(AtomString(AtomOfSlot(p.item(0).value)), kAddressText + "02" + kBaudText + "9600" + kSumCheck);
  ASSERT_GE(fake.log.size(), 2u);
  EXPECT_EQ(fake.log[0], "discard both");
  EXPECT_EQ(fake.log[1], "write $022\r");
}

TEST_F(Data7210Test, SilentDisplayFailsAfterTheLineTimeout) {
  for (int32_t timeoutMs : {200, 5000}) {
    driver.line().answerTimeoutMs = timeoutMs;
    // A good answer first, so that no guard after an earlier failure counts.
    AnswerWith({{"$022\r", "!02000600\r"}});
    TestPacket<velk::TagItem2> good(0, reg::kCfgStaT, 0, "Data7210");
    good.Add(2, velk::kTypeString, reg::kCfgStaT);
    ASSERT_EQ(Process2(good.get()), 1);
    fake.responder = nullptr;
    TestPacket<velk::TagItem2> p(0, reg::kCfgStaT, 0, "Data7210");
    velk::TagItem2& item = p.Add(2, velk::kTypeString, reg::kCfgStaT);
    item.quality = 5;
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(Process2(p.get()), 0);
    const uint32_t took = clock.TickMs() - start;
    EXPECT_GE(took, static_cast<uint32_t>(timeoutMs));
    EXPECT_LE(took, static_cast<uint32_t>(timeoutMs) + 10);
    EXPECT_EQ(item.quality, 5);
  }
}

TEST_F(Data7210Test, ExchangeTimeoutIsWrapSafe) {
  clock.Set(0xFFFFFF00u);
  TestPacket<velk::TagItem2> p(0, reg::kCfgStaT, 0, "Data7210");
  p.Add(2, velk::kTypeString, reg::kCfgStaT);
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Process2(p.get()), 0);
  EXPECT_LE(clock.TickMs() - start, 1010u);
}

TEST_F(Data7210Test, ProbeAsksDisplayTwo) {
  AnswerWith({{"$022\r", "!02000600\r"}});
  velk::DeviceRecord device{9, 0, {}};
  EXPECT_EQ(driver.ProbeDevice("Data7210", 9, &device), 1);
  EXPECT_EQ(fake.writes, std::vector<std::string>{"$022\r"});
}

TEST_F(Data7210Test, FailedProbeReopensThePort) {
  velk::DeviceRecord device{2, 0, {}};
  EXPECT_EQ(driver.ProbeDevice("Data7210", 2, &device), 0);
  bool reopened = false;
  for (const std::string& entry : fake.log) reopened = reopened || entry == "open COM1";
  EXPECT_TRUE(reopened);
  EXPECT_NE(driver.line().portHandle(), platform::kNoHandle);
  AnswerWith({{"$022\r", "!02000600\r"}});
  EXPECT_EQ(driver.ProbeDevice("Data7210", 2, &device), 1);
}

TEST_F(Data7210Test, DisplayTagsNeverMerge) {
  velk::TagDef tag;
  memset(&tag, 0, sizeof tag);
  TestPacket<velk::TagItem2> p(0, reg::kSetDat, 1, "Data7210");
  EXPECT_EQ(families::kData7210.canMerge(tag, 1, p.header(), protocol::ModuleTypeOf("Data7210")), 0);
}

}  // namespace
