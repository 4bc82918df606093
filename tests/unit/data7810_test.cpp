#include <gtest/gtest.h>
#include <stdio.h>

#include "families/data7810.h"
#include "driver_on_fake_line.h"
#include "protocol/register_tables.h"

namespace {

using testsupport::AtomOfSlot;
using testsupport::AtomString;
using testsupport::DriverOnFakeLine;
using testsupport::TestPacket;
namespace reg = protocol::reg;

const char kConfig01[] = "!01000600\r";  // address 01, 9600 baud, data format 00

// A temperature answer of module 01: the groups given, then groups of
// channel 7 without a valid reading up to eight.
std::string Temperatures(std::vector<std::string> groups) {
  while (groups.size() < 8) groups.push_back("E800");
  std::string answer = "!01";
  for (const std::string& g : groups) answer += g;
  return answer + "\r";
}

velk::ValueSlot Slot(uint32_t x) {
  velk::ValueSlot v;
  protocol::StoreLong(v, x);
  return v;
}

class Data7810Test : public DriverOnFakeLine {
 protected:
  void SetUp() override {
    DriverOnFakeLine::SetUp();
    OpenLine(1000);
  }
  int32_t Process(velk::Packet& packet) {
    return families::kData7810.processPacket(driver.bus(), packet, protocol::ModuleTypeOf("Data7810"));
  }
  int32_t Process2(velk::Packet& packet) {
    return families::kData7810.processPacket2(driver.bus(), packet, protocol::ModuleTypeOf("Data7810"));
  }
};

TEST_F(Data7810Test, ConfigurationGivesBaudRateAndAddressByte) {
  AnswerWith({{"$012\r", kConfig01}});
  TestPacket<velk::TagItem> baud(1, reg::kBaud, 0);
  baud.Add(0, velk::kTypeWord, reg::kBaud).value = Slot(0);
  ASSERT_EQ(Process(baud.get()), 1);
  EXPECT_EQ(protocol::SlotU32(baud.item(0).value), 9600u);

  TestPacket<velk::TagItem2> addr(1, reg::kAddr, 0);
  addr.Add(0, velk::kTypeByte, reg::kAddr).value = Slot(0xAABBCCDD);
  ASSERT_EQ(Process2(addr.get()), 1);
  EXPECT_EQ(protocol::SlotU32(addr.item(0).value), 0xAABBCC01u);
  EXPECT_EQ(addr.item(0).quality, velk::kQualityGood);
  EXPECT_NE(addr.item(0).timeStampHigh, 0u);
  EXPECT_EQ(fake.writes, (std::vector<std::string>{"$012\r", "$012\r"}));
}

// A first configuration answer that is not "!" earns the "Baud" read one
// more; a silent module is not asked twice, and "Addr" never is.
TEST_F(Data7810Test, BaudReadIsTriedOnceMoreAfterARefusal) {
  struct Case {
    int16_t registerCode;
    const char* first;  // null: silent
    int32_t result;
    size_t writes;
  } cases[] = {
      {reg::kBaud, "?01\r", 1, 2},
      {reg::kBaud, nullptr, 0, 1},
      {reg::kAddr, "?01\r", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registerCode);
    OpenLine(1000);  // a module silent before is asked twice at its next read
    int calls = 0;
    const std::string first = c.first != nullptr ? c.first : "";
    fake.responder = [&](const std::string&) {
      if (++calls > 1) return std::vector<testsupport::Chunk>{{5, kConfig01}};
      return first.empty() ? std::vector<testsupport::Chunk>{} : std::vector<testsupport::Chunk>{{5, first}};
    };
    TestPacket<velk::TagItem2> p(1, c.registerCode, 0);
    p.Add(0, velk::kTypeWord, c.registerCode).value = Slot(0);
    EXPECT_EQ(Process2(p.get()), c.result);
    EXPECT_EQ(fake.writes.size(), c.writes);
    if (c.result == 1) { EXPECT_EQ(protocol::SlotU32(p.item(0).value), 9600u); }
  }
}

TEST_F(Data7810Test, BaudCodeOutsideTheTableFailsAndTouchesNoItem) {
  AnswerWith({{"$012\r", "!01000900\r"}});
  TestPacket<velk::TagItem2> p(1, reg::kBaud, 0);
  for (int i = 0; i < 2; ++i) p.Add(0, velk::kTypeWord, reg::kBaud).value = Slot(77);
  EXPECT_EQ(Process2(p.get()), 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(protocol::SlotU32(p.item(i).value), 77u);
    EXPECT_EQ(p.item(i).quality, 0);
  }
}

TEST_F(Data7810Test, TemperatureGroups) {
  // A channel without a valid reading keeps its value (99 here); under
  // IDriver2 it is marked bad (sensor failure) with a fresh time stamp.
  const uint16_t kSensorFailure = 16;
  struct Case {
    std::vector<std::string> groups;
    int16_t channel;
    float expected;
    uint16_t quality;
  } cases[] = {
      {{"1190"}, 0, -25.0f, velk::kQualityGood},                 // channel 0, negative, 400/16
      {{"2040", "4000", "6190"}, 3, 25.0f, velk::kQualityGood},  // channel 3 after two others
      {{"2040"}, 1, 4.0f, velk::kQualityGood},                   // 64 sixteenths
      {{"61a0"}, 3, 26.0f, velk::kQualityGood},                  // lower-case digits are read too
      {{"0800"}, 0, 99.0f, kSensorFailure},                      // flagged: no valid reading
      {{"1990"}, 0, 99.0f, kSensorFailure},                      // flagged, with a magnitude
      {{"1190", "6190"}, 5, 99.0f, kSensorFailure},              // no group carries channel 5
      {{"2040", "ZZZZ", "6190"}, 3, 99.0f, kSensorFailure},      // the search ends at a bad group
  };
  for (const Case& c : cases) {
    AnswerWith({{"$010\r", Temperatures(c.groups)}});
    TestPacket<velk::TagItem> p(1, reg::kTemp, 0);
    protocol::StoreFloat(p.Add(c.channel, velk::kTypeFloat, reg::kTemp).value, 99.0f);
    ASSERT_EQ(Process(p.get()), 1) << c.groups[0];
    EXPECT_EQ(protocol::SlotFloat(p.item(0).value), c.expected) << c.groups[0] << " channel " << c.channel;

    TestPacket<velk::TagItem2> p2(1, reg::kTemp, 0);
    protocol::StoreFloat(p2.Add(c.channel, velk::kTypeFloat, reg::kTemp).value, 99.0f);
    ASSERT_EQ(Process2(p2.get()), 1) << c.groups[0];
    EXPECT_EQ(protocol::SlotFloat(p2.item(0).value), c.expected) << c.groups[0] << " channel " << c.channel;
    EXPECT_EQ(p2.item(0).quality, c.quality) << c.groups[0];
    EXPECT_NE(p2.item(0).timeStampHigh, 0u) << c.groups[0];
  }
}

TEST_F(Data7810Test, OneTemperatureAnswerServesEveryItem) {
  AnswerWith({{"$010\r", Temperatures({"1190", "2040", "6190", "8800"})}});
  TestPacket<velk::TagItem2> p(1, reg::kTemp, 0);
  p.Add(3, velk::kTypeFloat, reg::kTemp);
  protocol::StoreFloat(p.Add(4, velk::kTypeFloat, reg::kTemp).value, 7.0f);  // flagged invalid
  p.Add(0, velk::kTypeFloat, reg::kTemp);
  p.Add(1, velk::kTypeFloat, reg::kTemp);
  ASSERT_EQ(Process2(p.get()), 1);
  EXPECT_EQ(protocol::SlotFloat(p.item(0).value), 25.0f);
  EXPECT_EQ(protocol::SlotFloat(p.item(1).value), 7.0f);
  EXPECT_EQ(p.item(1).quality, 16);
  EXPECT_EQ(protocol::SlotFloat(p.item(2).value), -25.0f);
  EXPECT_EQ(protocol::SlotFloat(p.item(3).value), 4.0f);
  EXPECT_EQ(p.item(3).quality, velk::kQualityGood);
  EXPECT_EQ(fake.writes.size(), 1u);
}

TEST_F(Data7810Test, BusyTemperatureModuleIsAskedAgain) {
  int calls = 0;
  const std::string busy = "!01N" + std::string(31, '0') + "\r";
  const std::string ready = Temperatures({"6190"});
  fake.responder = [&](const std::string&) {
    return std::vector<testsupport::Chunk>{{5, ++calls <= 2 ? busy : ready}};
  };
  TestPacket<velk::TagItem> p(1, reg::kTemp, 0);
  p.Add(3, velk::kTypeFloat, reg::kTemp);
  ASSERT_EQ(Process(p.get()), 1);
  EXPECT_EQ(protocol::SlotFloat(p.item(0).value), 25.0f);
  EXPECT_EQ(calls, 3);
}

TEST_F(Data7810Test, ShortBusyAnswerIsAskedAgainAtThePaceAlone) {
  // "!01N" is shorter than a temperature answer, yet it is the module's
  // answer: it is asked again after the busy pace, with no wait for a late
  // answer in between.
  OpenLine(300);
  int calls = 0;
  fake.responder = [&](const std::string&) {
    return std::vector<testsupport::Chunk>{{5, ++calls == 1 ? std::string("!01N\r") : Temperatures({"6190"})}};
  };
  TestPacket<velk::TagItem2> p(1, reg::kTemp, 0);
  p.Add(3, velk::kTypeFloat, reg::kTemp);
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(Process2(p.get()), 1);
  const uint32_t took = clock.TickMs() - start;
  EXPECT_EQ(protocol::SlotFloat(p.item(0).value), 25.0f);
  EXPECT_EQ(calls, 2);
  // The pace (36 characters at 9600 baud and 100 ms) plus one exchange.
  EXPECT_LT(took, 38u + 100u + 300u);
  printf("[ figure   ] a temperature read busy once, 300 ms time-out: %u ms\n", took);
}

TEST_F(Data7810Test, ModuleStuckBusyFailsWithinTheAnswerTimeout) {
  int calls = 0;
  const std::string busy = "!01N" + std::string(31, '0') + "\r";
  fake.responder = [&](const std::string&) { return std::vector<testsupport::Chunk>{{5, (++calls, busy)}}; };
  TestPacket<velk::TagItem2> p(1, reg::kTemp, 0);
  protocol::StoreFloat(p.Add(3, velk::kTypeFloat, reg::kTemp).value, 12.0f);
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Process2(p.get()), 0);
  const uint32_t took = clock.TickMs() - start;
  EXPECT_GE(took, 1000u);
  EXPECT_LT(took, 1100u);  // the bound plus one exchange
  EXPECT_GT(calls, 1);
  EXPECT_EQ(protocol::SlotFloat(p.item(0).value), 12.0f);
  EXPECT_EQ(p.item(0).quality, 0);
  EXPECT_EQ(driver.line().diagnostics.outcome, velk::kOutcomeBusyBound);
}

TEST_F(Data7810Test, FailedExchangeLeavesItemsUntouched) {
  // Silent module: every register with an exchange fails and keeps its items.
  const int16_t registers[] = {reg::kAddr, reg::kBaud, reg::kVersion, reg::kName, reg::kDI, reg::kTemp};
  for (int16_t r : registers) {
    TestPacket<velk::TagItem2> p(1, r, 0);
    velk::TagItem2& item = p.Add(0, velk::kTypeLong, r);
    item.value = Slot(0x12345678);
    item.quality = 7;
    EXPECT_EQ(Process2(p.get()), 0) << r;
    EXPECT_EQ(protocol::SlotU32(item.value), 0x12345678u) << r;
    EXPECT_EQ(item.quality, 7) << r;
    EXPECT_EQ(item.timeStampLow | item.timeStampHigh, 0u) << r;
  }
}

TEST_F(Data7810Test, ShortAnswerFailsTheRead) {
  AnswerWith({{"$016\r", "!01\r"}});
  TestPacket<velk::TagItem> p(1, reg::kDI, 0);
  p.Add(0, velk::kTypeBit, reg::kDI).value = Slot(5);
  EXPECT_EQ(Process(p.get()), 0);
  EXPECT_EQ(protocol::SlotU32(p.item(0).value), 5u);
}

TEST_F(Data7810Test, InputsVersionAndName) {
  AnswerWith({{"$016\r", std::string("!01\x02\r")}, {"$01F\r", "!01A1.02\r"}, {"$01M\r", "!01Thermo12\r"}});
  TestPacket<velk::TagItem> di(1, reg::kDI, 0);
  di.Add(0, velk::kTypeBit, reg::kDI).value = Slot(9);
  di.Add(1, velk::kTypeBit, reg::kDI).value = Slot(9);
  ASSERT_EQ(Process(di.get()), 1);
  EXPECT_EQ(protocol::SlotU32(di.item(0).value), 0u);
  EXPECT_EQ(protocol::SlotU32(di.item(1).value), 1u);

  TestPacket<velk::TagItem> version(1, reg::kVersion, 0);
  version.Add(0, velk::kTypeString, reg::kVersion).value = Slot(0xBEEF0000);
  ASSERT_EQ(Process(version.get()), 1);
  EXPECT_EQ(AtomString(AtomOfSlot(version.item(0).value)), "A1.02");
  EXPECT_EQ(protocol::SlotU32(version.item(0).value) >> 16, 0xBEEFu);

  TestPacket<velk::TagItem> name(1, reg::kName, 0);
  name.Add(0, velk::kTypeString, reg::kName);
  ASSERT_EQ(Process(name.get()), 1);
  EXPECT_EQ(AtomString(AtomOfSlot(name.item(0).value)), "Thermo12");
}

TEST_F(Data7810Test, FullAtomTableFailsAStringRead) {
  std::vector<uint16_t> filler;
  for (int i = 0; i <= 0x4000; ++i) {
    const uint16_t atom = platform::AddGlobalAtom(("filler " + std::to_string(i)).c_str());
    if (atom == 0) break;
    filler.push_back(atom);
  }
  AnswerWith({{"$01F\r", "!01Z9.99\r"}});
  TestPacket<velk::TagItem2> p(1, reg::kVersion, 0);
  p.Add(0, velk::kTypeString, reg::kVersion).value = Slot(0xBEEF);
  const int32_t whileFull = Process2(p.get());
  for (uint16_t atom : filler) EXPECT_EQ(platform::DeleteGlobalAtom(atom), 0);
  EXPECT_EQ(whileFull, 0);
  EXPECT_EQ(protocol::SlotU32(p.item(0).value), 0xBEEFu);
  EXPECT_EQ(p.item(0).quality, 0);
  // Room again: the same read succeeds.
  ASSERT_EQ(Process2(p.get()), 1);
  EXPECT_EQ(AtomString(AtomOfSlot(p.item(0).value)), "Z9.99");
}

// An answer is used only when it begins with "!" and the address asked and
// has its carriage return where its length puts it; bytes after that return
// are noise. Anything else fails the packet and leaves its item alone.
TEST_F(Data7810Test, AnswersAreChecked) {
  const std::string kFails = "(fails)";
  struct Case {
    int16_t registerCode;
    std::string answer;
    std::string text;  // the version or name stored, or kFails
    int32_t outcome;
  } cases[] = {
      {reg::kName, "\xFF\x13!01Thermo12\r", "Thermo12", velk::kOutcomeOk},  // noise before it dropped
      {reg::kVersion, "!01A1.02\r\n", "A1.02", velk::kOutcomeOk},
      {reg::kVersion, std::string("!01A1.02\r\0", 10), "A1.02", velk::kOutcomeOk},
      {reg::kVersion, "!01A1.02\r\xFF", "A1.02", velk::kOutcomeOk},
      {reg::kName, "!01AB\rxxxxxx", kFails, velk::kOutcomeBadAnswer},
      {reg::kName, "!01\rNAMEXXXX", kFails, velk::kOutcomeBadAnswer},
      {reg::kName, "!01NAMEWITHOUTEND", kFails, velk::kOutcomeBadAnswer},
      {reg::kName, "!09Other999\r", kFails, velk::kOutcomeBadAnswer},  // another module
      {reg::kVersion, "?01\r", kFails, velk::kOutcomeRefused},
      {reg::kVersion, "?01A1.02\r", kFails, velk::kOutcomeRefused},
      {reg::kVersion, "!01A1\r", kFails, velk::kOutcomeBadAnswer},
      // Behind the command's echo of a two-wire adapter.
      {reg::kName, "$01M\r!01Thermo12\r", "Thermo12", velk::kOutcomeOk},
      {reg::kName, "$00M\r!01Thermo12\r", kFails, velk::kOutcomeBusCollision},
  };
  const char* commands[] = {"", "", "$01F\r", "$01M\r"};
  for (const Case& c : cases) {
    AnswerWith({{commands[c.registerCode], c.answer}});
    TestPacket<velk::TagItem2> p(1, c.registerCode, 0);
    p.Add(0, velk::kTypeString, c.registerCode).value = Slot(0xBEEF0000);
    driver.line().diagnostics.BeginPacket();
    const int32_t result = Process2(p.get());
    EXPECT_EQ(driver.line().diagnostics.outcome, c.outcome) << c.answer;
    if (c.text == kFails) {
      EXPECT_EQ(result, 0) << c.answer;
      EXPECT_EQ(protocol::SlotU32(p.item(0).value), 0xBEEF0000u) << c.answer;
      EXPECT_EQ(p.item(0).quality, 0) << c.answer;
    } else {
      ASSERT_EQ(result, 1) << c.answer;
      EXPECT_EQ(AtomString(AtomOfSlot(p.item(0).value)), c.text) << c.answer;
    }
  }
  // A refused input read stores no input as good.
  AnswerWith({{"$016\r", "?01\r"}});
  TestPacket<velk::TagItem2> di(1, reg::kDI, 0);
  di.Add(0, velk::kTypeBit, reg::kDI).value = Slot(9);
  EXPECT_EQ(Process2(di.get()), 0);
  EXPECT_EQ(protocol::SlotU32(di.item(0).value), 9u);
}

TEST_F(Data7810Test, OutputReadNeedsNoTraffic) {
  TestPacket<velk::TagItem2> p(1, reg::kDO, 0);
  p.Add(0, velk::kTypeBit, reg::kDO).value = Slot(3);
  EXPECT_EQ(Process2(p.get()), 1);
  EXPECT_TRUE(fake.writes.empty());
  EXPECT_EQ(protocol::SlotU32(p.item(0).value), 3u);
  EXPECT_EQ(p.item(0).quality, 0);
}

TEST_F(Data7810Test, OutputsAreKeptPerModule) {
  // Each step: module, channel, value; what goes on the line. Module 3
  // refuses, and its shadow keeps what it last accepted.
  AnswerWith({{"#012\r", "!01\r"},
              {"#021\r", "!02\r"},
              {"#023\r", "!02\r"},
              {"#013\r", "!01\r"},
              {"#034\r", "?03\r"},
              {"#031\r", "!03\r"}});
  const struct {
    int16_t address, channel;
    uint32_t value;
    const char* command;
    int32_t result;
  } steps[] = {
      {1, 1, 1, "#012\r", 1},  // DO1 of module 1
      {2, 0, 1, "#021\r", 1},  // DO0 of module 2 carries nothing of module 1
      {2, 1, 1, "#023\r", 1}, {1, 0, 1, "#013\r", 1}, {3, 2, 1, "#034\r", 0},  // refused
      {3, 0, 1, "#031\r", 1},                                                  // the refused bit is not carried along
  };
  for (const auto& s : steps) {
    fake.writes.clear();
    TestPacket<velk::TagItem2> p(s.address, reg::kDO, 1);
    p.Add(s.channel, velk::kTypeBit, reg::kDO).value = Slot(s.value);
    EXPECT_EQ(Process2(p.get()), s.result) << s.command;
    EXPECT_EQ(fake.writes, std::vector<std::string>{s.command});
    // A failed write stamps nothing.
    EXPECT_EQ(p.item(0).quality, s.result != 0 ? velk::kQualityGood : 0) << s.command;
  }
}

TEST_F(Data7810Test, OutputChannelBeyondOneHexDigitFailsWithoutTraffic) {
  TestPacket<velk::TagItem> p(1, reg::kDO, 1);
  p.Add(4, velk::kTypeBit, reg::kDO).value = Slot(1);
  EXPECT_EQ(Process(p.get()), 0);
  EXPECT_TRUE(fake.writes.empty());
}

TEST_F(Data7810Test, PacketWithoutItemsFailsWithoutTraffic) {
  for (int16_t direction : {0, 1}) {
    TestPacket<velk::TagItem> p(1, reg::kDI, direction);
    EXPECT_EQ(Process(p.get()), 0);
    TestPacket<velk::TagItem2> p2(1, reg::kDO, direction);
    EXPECT_EQ(Process2(p2.get()), 0);
  }
  EXPECT_TRUE(fake.log.empty());
}

TEST_F(Data7810Test, ConfigurationWrites) {
  // A rate without a code of its own is refused before anything is sent:
  // a neighbouring code would take the module off the line.
  struct Case {
    int16_t reg;
    uint32_t value;
    const char* command;  // null: refused without traffic
  } cases[] = {
      {reg::kBaud, 1200, "%0101000300\r"},
      {reg::kBaud, 9600, "%0101000600\r"},
      {reg::kBaud, 38400, "%0101000800\r"},
      {reg::kAddr, 0x1205, "%0105000600\r"},  // the new address is the low byte
      {reg::kBaud, 0, nullptr},
      {reg::kBaud, 9601, nullptr},
      {reg::kBaud, 57600, nullptr},   // once sent as 38400
      {reg::kBaud, 115200, nullptr},  // once sent as a code the module rejects
  };
  for (const Case& c : cases) {
    const std::string command = c.command != nullptr ? c.command : "";
    // The module answers from its new address.
    AnswerWith({{"$012\r", kConfig01}, {command, command.empty() ? "" : "!" + command.substr(3, 2) + "\r"}});
    fake.writes.clear();
    driver.line().diagnostics.BeginPacket();
    TestPacket<velk::TagItem2> p(1, c.reg, 1);
    p.Add(0, velk::kTypeWord, c.reg).value = Slot(c.value);
    EXPECT_EQ(Process2(p.get()), c.command != nullptr ? 1 : 0) << c.value;
    if (c.command != nullptr) {
      EXPECT_EQ(fake.writes, (std::vector<std::string>{"$012\r", command}));
      EXPECT_EQ(p.item(0).quality, velk::kQualityGood);
    } else {
      EXPECT_TRUE(fake.writes.empty()) << c.value;
      EXPECT_EQ(p.item(0).quality, 0) << c.value;
      EXPECT_EQ(driver.line().diagnostics.outcome, velk::kOutcomeNotBuilt) << c.value;
    }
  }
}

TEST_F(Data7810Test, RefusedWritesFail) {
  AnswerWith({{"$012\r", kConfig01}, {"%0101000600\r", "?01\r"}, {"%0107000600\r", "?01\r"}, {"#011\r", "?01\r"}});
  const struct {
    int16_t reg;
    uint32_t value;
  } cases[] = {{reg::kBaud, 9600}, {reg::kAddr, 7}, {reg::kDO, 1}};
  for (const auto& c : cases) {
    TestPacket<velk::TagItem> p(1, c.reg, 1);
    p.Add(0, velk::kTypeWord, c.reg).value = Slot(c.value);
    EXPECT_EQ(Process(p.get()), 0) << c.reg;
  }
}

TEST_F(Data7810Test, WritePacketHandlesEveryItemAndSkipsOthers) {
  AnswerWith({{"#011\r", "!01\r"}});
  TestPacket<velk::TagItem2> p(1, reg::kDO, 1);
  p.Add(0, velk::kTypeFloat, reg::kTemp);  // nothing to write: skipped
  p.Add(0, velk::kTypeBit, reg::kDO).value = Slot(1);
  EXPECT_EQ(Process2(p.get()), 1);
  EXPECT_EQ(fake.writes, std::vector<std::string>{"#011\r"});
  EXPECT_EQ(p.item(0).quality, velk::kQualityGood);
  EXPECT_EQ(p.item(1).quality, velk::kQualityGood);
}

TEST_F(Data7810Test, ExchangeTimeoutIsWrapSafe) {
  clock.Set(0xFFFFFF00u);
  TestPacket<velk::TagItem> p(1, reg::kDI, 0);
  p.Add(0, velk::kTypeBit, reg::kDI);
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Process(p.get()), 0);
  const uint32_t took = clock.TickMs() - start;
  EXPECT_GE(took, 1000u);
  EXPECT_LE(took, 1010u);
}

TEST_F(Data7810Test, ClosedPortFailsAtOnce) {
  driver.ClosePort();
  TestPacket<velk::TagItem> p(1, reg::kDI, 0);
  p.Add(0, velk::kTypeBit, reg::kDI);
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Process(p.get()), 0);
  EXPECT_EQ(clock.TickMs(), start);
}

TEST_F(Data7810Test, ProbeReadsTheVersion) {
  AnswerWith({{"$03F\r", "!03A1.02\r"}});
  velk::DeviceRecord device{3, 0, {}};
  EXPECT_EQ(driver.ProbeDevice("Data7810", 3, &device), 1);
  EXPECT_EQ(driver.ProbeDevice("Data7810", 4, &device), 0);
  EXPECT_EQ(fake.writes, (std::vector<std::string>{"$03F\r", "$04F\r"}));
}

TEST(Data7810Rules, BaudCodeOfRate) {
  const struct {
    uint32_t rate;
    uint8_t code;  // 0: the rate has none
  } cases[] = {{1200, 3}, {2400, 4}, {4800, 5}, {9600, 6},  {19200, 7},  {38400, 8},
               {0, 0},    {600, 0},  {9599, 0}, {57600, 0}, {115200, 0}, {0xFFFFFFFFu, 0}};
  for (const auto& c : cases) EXPECT_EQ(families::BaudCodeOfRate(c.rate), c.code) << c.rate;
}

TEST(Data7810Rules, MergeKeepsOneChannelExceptTemperatures) {
  struct Case {
    int16_t reg;
    int16_t channel;
    int32_t direction;
    int32_t low, high;
    int32_t expected, newLow, newHigh;
  } cases[] = {
      {reg::kDI, 0, 0, 0, 0, 1, 0, 0},                                     // same channel
      {reg::kDI, 1, 0, 0, 0, 0, 0, 0},                                     // a neighbour would widen the packet
      {reg::kTemp, 5, 0, 0, 0, 1, 0, 0},                                   // one answer for all channels
      {reg::kDO, 0, 1, 0, 0, 1, 0, 0},                                     // writes only into the same channel
      {reg::kDO, 1, 1, 0, 0, 0, 0, 0},   {reg::kDI, 0, 1, 0, 0, 0, 0, 0},  // direction differs from the packet's
  };
  for (const Case& c : cases) {
    velk::TagDef tag;
    memset(&tag, 0, sizeof tag);
    tag.address = 1;
    tag.registerCode = c.reg;
    tag.channel = c.channel;
    TestPacket<velk::TagItem> p(1, c.reg, static_cast<int16_t>(c.reg == reg::kDO ? 1 : 0));
    p.header().channelLow = c.low;
    p.header().channelHigh = c.high;
    EXPECT_EQ(families::kData7810.canMerge(tag, c.direction, p.header(), protocol::ModuleTypeOf("Data7810")),
              c.expected)
        << c.reg << "/" << c.channel;
    EXPECT_EQ(p.header().channelLow, c.newLow);
    EXPECT_EQ(p.header().channelHigh, c.newHigh);
  }
  velk::TagDef other;
  memset(&other, 0, sizeof other);
  other.address = 2;
  other.registerCode = reg::kTemp;
  TestPacket<velk::TagItem> temp(1, reg::kTemp, 0);
  EXPECT_EQ(families::kData7810.canMerge(other, 0, temp.header(), protocol::ModuleTypeOf("Data7810")), 0);
}

}  // namespace
