// ProcessPacket and ProcessPacket2 against a scripted module on the
// in-memory line: what goes on the wire, what lands in the items, and that a
// failed packet leaves every item as it was.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "driver/line_driver.h"
#include "platform/file_time.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

using testsupport::Chunk;
using testsupport::FloatBits;
using testsupport::HostPacket;
using testsupport::SlotBits;

const uint32_t kPrefill = 0xCCCCCCCCu;

class PacketProcessing : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddPort("COM1");
    const velk::PortSettings s = testsupport::MakeSettings("COM1", 9600, 200);
    ASSERT_EQ(driver.OpenPort(0, &s), 1);
    fake.writes.clear();
    clock.sleeps.clear();
  }

  // The module answers each listed command 3 ms after it was written and
  // stays silent on anything else.
 public:
  void Answers(const std::map<std::string, std::string>& answers) {
    fake.responder = [answers](const std::string& written) {
      std::vector<Chunk> chunks;
      const auto found = answers.find(written);
      if (found != answers.end()) chunks.push_back(Chunk{3, found->second});
      return chunks;
    };
  }

  int32_t Process(HostPacket<velk::TagItem>& p) { return driver.ProcessPacket(p.get()); }
  int32_t Process(HostPacket<velk::TagItem2>& p) { return driver.ProcessPacket2(p.get()); }

  testsupport::VirtualClock clock;
  testsupport::FakeSerial fake{clock};
  driver::LineDriver driver{driver::DriverServices{&fake, &clock}};
};

struct ReadCase {
  const char* type;
  const char* registerName;
  int16_t registerCode;
  int16_t channel;
  int16_t dataType;
  const char* command;  // without checksum and carriage return
  const char* answer;   // likewise
  uint32_t stored;
};

// One read per family, every one with checksums on both ways.
const ReadCase kReads[] = {
    {"Velk4011", "AI", 0, 0, velk::kTypeFloat, "#01", ">+05.123", FloatBits(5.123f)},
    {"Velk4017", "AI", 0, 3, velk::kTypeFloat, "#013", ">-01.500", FloatBits(-1.5f)},
    {"Velk4021", "AO", 0, 0, velk::kTypeFloat, "$016", "!0105.500", FloatBits(5.5f)},
    {"Velk4024", "NC", 2, 1, velk::kTypeShort, "$01NC1", "!013F", 0xCCCC003Fu},
    {"Velk4051", "DI", 0, 2, velk::kTypeBit, "$016", "!1234", 1},
    {"Velk4052", "DI", 0, 0, velk::kTypeByte, "$016", "!12A5", 0xCCCCCC12u},
    {"Velk4080", "MCV", 4, 0, velk::kTypeLong, "$0130", "!01DEADBEEF", 0xDEADBEEFu},
    {"Velk4015", "VERSION", 0, 0, velk::kTypeShort, "$01F", "!01123", 0xCCCC007Bu},
};

template <typename Item>
void CheckReads(PacketProcessing& t, testsupport::FakeSerial& fake) {
  for (const ReadCase& c : kReads) {
    SCOPED_TRACE(c.type);
    t.Answers({{testsupport::WithChecksum(c.command), testsupport::WithChecksum(c.answer)}});
    fake.writes.clear();
    HostPacket<Item> p(c.type, c.registerName, c.registerCode, 0);
    Item& item = p.Add(c.channel, c.dataType, kPrefill);
    ASSERT_EQ(t.Process(p), 1);
    EXPECT_EQ(fake.writes, std::vector<std::string>{testsupport::WithChecksum(c.command)});
    EXPECT_EQ(SlotBits(item.value), c.stored);
  }
}

TEST_F(PacketProcessing, OneReadPerFamilyUnderBothInterfaces) {
  CheckReads<velk::TagItem>(*this, fake);
  CheckReads<velk::TagItem2>(*this, fake);
}

TEST_F(PacketProcessing, Driver2StampsEveryItemOfARead) {
  Answers({{testsupport::WithChecksum("$01"), testsupport::WithChecksum("!01")},
           {testsupport::WithChecksum("#013"), testsupport::WithChecksum(">+02.000")}});
  HostPacket<velk::TagItem2> ai("Velk4017", "AI", 0, 0);
  // SYNSAM has no decoding rule: its items keep their value and time, and
  // their quality says that they were not read.
  HostPacket<velk::TagItem2> synsam("Velk4015", "SYNSAM", 5, 0);
  for (HostPacket<velk::TagItem2>* p : {&ai, &synsam}) {
    p->Add(3, velk::kTypeFloat, kPrefill);
    p->Add(3, velk::kTypeFloat, kPrefill);
    const uint64_t before = platform::FileTimeNow();
    ASSERT_EQ(driver.ProcessPacket2(p->get()), 1);
    const uint64_t after = platform::FileTimeNow();
    for (size_t i = 0; i < p->size(); ++i) {
      const velk::TagItem2& item = p->item(i);
      const uint64_t stamp = (uint64_t{item.timeStampHigh} << 32) | item.timeStampLow;
      if (p == &ai) {
        EXPECT_EQ(item.quality, velk::kQualityGood);
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
        EXPECT_EQ(SlotBits(item.value), FloatBits(2.0f));
      } else {
        EXPECT_EQ(item.quality, 0);
        EXPECT_EQ(stamp, 0u);
        EXPECT_EQ(SlotBits(item.value), kPrefill);
      }
    }
  }
}

TEST_F(PacketProcessing, WritesReturnOnceTheAnswerPassesAndTouchNoItem) {
  Answers({{testsupport::WithChecksum("@01HI+05.000"), testsupport::WithChecksum("!01")},
           {testsupport::WithChecksum("#0105.500"), testsupport::WithChecksum(">")}});
  HostPacket<velk::TagItem2> ahi("Velk4011", "AHI", 4, 1);
  ahi.Add(0, velk::kTypeFloat, FloatBits(5.0f));
  const std::vector<uint8_t> untouched = ahi.ItemBytes();
  EXPECT_EQ(driver.ProcessPacket2(ahi.get()), 1);
  EXPECT_EQ(ahi.ItemBytes(), untouched) << "no value, quality or time on a write";

  HostPacket<velk::TagItem> ao("Velk4021", "AO", 0, 1);
  ao.Add(0, velk::kTypeFloat, FloatBits(5.5f));
  EXPECT_EQ(driver.ProcessPacket(ao.get()), 1);
  EXPECT_EQ(fake.writes.back(), testsupport::WithChecksum("#0105.500"));

  // Another module's answer is no acknowledgement.
  Answers({{testsupport::WithChecksum("@01HI+05.000"), testsupport::WithChecksum("!09")}});
  EXPECT_EQ(driver.ProcessPacket2(ahi.get()), 0);
  EXPECT_EQ(driver.line().diagnostics.outcome, velk::kOutcomeBadAnswer);

  // A value whose text does not fit its field sends nothing.
  fake.writes.clear();
  HostPacket<velk::TagItem> wide("Velk4021", "AO", 0, 1);
  wide.Add(0, velk::kTypeFloat, FloatBits(123.456f));
  EXPECT_EQ(driver.ProcessPacket(wide.get()), 0);
  EXPECT_TRUE(fake.writes.empty());
}

// Every failure leaves the items byte for byte as they were, whatever the
// lead character or the reason. An answer is checked whole before anything
// is stored: its lead, the address it echoes and the form of every field
// its decoding reads, which on a line without checksums is all that stands
// between noise and a value marked good.
TEST_F(PacketProcessing, FailuresLeaveItemsAlone) {
  struct Case {
    const char* what;
    bool checksum;
    std::string answer;  // empty: the module stays silent
    int32_t outcome;
    const char* type = "Velk4011";
    const char* registerName = "AI";
    int16_t registerCode = 0;
    const char* command = "#01";
    int16_t dataType = velk::kTypeFloat;
  } cases[] = {
      {"refused", true, testsupport::WithChecksum("?01"), velk::kOutcomeRefused},
      {"refused without checksums", false, "?01\r", velk::kOutcomeRefused},
      {"wrong checksum", true, ">+05.12300\r", velk::kOutcomeChecksumMismatch},
      {"checksum lost", true, "\r", velk::kOutcomeNoAnswer},  // no lead: noise, never an answer
      {"silent", true, "", velk::kOutcomeNoAnswer},
      {"wrong lead", false, "!01+05.123\r", velk::kOutcomeBadAnswer},
      {"noise holding the lead", false, ">>+05.123\r", velk::kOutcomeBadAnswer},
      {"hex where a decimal is read", false, ">3E\r", velk::kOutcomeBadAnswer},
      {"hex data format", false, ">7FFF\r", velk::kOutcomeBadAnswer},
      {"cut short", false, ">+12\r", velk::kOutcomeBadAnswer},
      {"cut short with a valid checksum", true, testsupport::WithChecksum(">+05."), velk::kOutcomeBadAnswer},
      {"nothing after the lead", false, ">\r", velk::kOutcomeBadAnswer},
      {"two answers run together", false, ">+05.123>+07.000\r", velk::kOutcomeBadAnswer},
      {"another address's answer", false, "!09+77.000\r", velk::kOutcomeBadAnswer, "Velk4024", "AO", 0, "$016C0"},
      {"echo cut short", false, "!0\r", velk::kOutcomeBadAnswer, "Velk4024", "AO", 0, "$016C0"},
      {"hex field cut short", false, ">+12\r", velk::kOutcomeBadAnswer, "Velk4080", "PCVH", 1, "#010", velk::kTypeWord},
      {"hex field of other characters", false, ">1234567G\r", velk::kOutcomeBadAnswer, "Velk4080", "PCVH", 1, "#010",
       velk::kTypeWord},
      {"lower-case digits read by their code", false, "!013f\r", velk::kOutcomeBadAnswer, "Velk4024", "NC", 2, "$01NC0",
       velk::kTypeShort},
      {"integer of other characters", false, "!01A1.00\r", velk::kOutcomeBadAnswer, "Velk4015", "VERSION", 0, "$01F",
       velk::kTypeShort},
      // A float's bits are no bit value: the item cannot take the reading,
      // and nothing is sent.
      {"bit item on a float register", false, ">+05.123\r", velk::kOutcomeNotBuilt, "Velk4011", "AI", 0, "#01",
       velk::kTypeBit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string command = c.checksum ? testsupport::WithChecksum(c.command) : std::string(c.command) + "\r";
    if (c.answer.empty())
      Answers({});
    else
      Answers({{command, c.answer}});
    fake.writes.clear();
    HostPacket<velk::TagItem2> p2(c.type, c.registerName, c.registerCode, 0, 1, c.checksum);
    p2.Add(0, c.dataType, kPrefill).quality = 7;
    const std::vector<uint8_t> before2 = p2.ItemBytes();
    EXPECT_EQ(driver.ProcessPacket2(p2.get()), 0);
    EXPECT_EQ(p2.ItemBytes(), before2);
    EXPECT_EQ(driver.line().diagnostics.outcome, c.outcome);
    HostPacket<velk::TagItem> p1(c.type, c.registerName, c.registerCode, 0, 1, c.checksum);
    p1.Add(0, c.dataType, kPrefill);
    const std::vector<uint8_t> before1 = p1.ItemBytes();
    EXPECT_EQ(driver.ProcessPacket(p1.get()), 0);
    EXPECT_EQ(p1.ItemBytes(), before1);
    EXPECT_EQ(driver.line().diagnostics.outcome, c.outcome);
    EXPECT_EQ(fake.writes.empty(), c.outcome == velk::kOutcomeNotBuilt);
  }
}

TEST_F(PacketProcessing, SilentModuleFailsAfterTheAnswerTimeout) {
  Answers({});
  HostPacket<velk::TagItem> p("Velk4017", "AI", 0, 0);
  p.Add(0, velk::kTypeFloat, kPrefill);
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(driver.ProcessPacket(p.get()), 0);
  const uint32_t took = clock.TickMs() - start;
  EXPECT_GE(took, 200u);
  EXPECT_LE(took, 210u);
  EXPECT_EQ(fake.writes.size(), 1u);
}

// Without checksums nothing ends a field but the carriage return: another
// module's answer with its checksum digits run on is too wide to be taken.
TEST_F(PacketProcessing, WithoutChecksumsNoDigitsPastTheField) {
  Answers({{"#01\r", ">+05.12392\r"}});
  HostPacket<velk::TagItem> p("Velk4011", "AI", 0, 0, 1, false);
  velk::TagItem& item = p.Add(0, velk::kTypeFloat, kPrefill);
  EXPECT_EQ(driver.ProcessPacket(p.get()), 0);
  EXPECT_EQ(SlotBits(item.value), kPrefill);
}

TEST_F(PacketProcessing, DisplayIsTheFirstWaitOfTheTransaction) {
  // Read: the default 15 ms, widened over the whole slot.
  HostPacket<velk::TagItem2> read("Velk4017", "DISPLAY", 4, 0);
  read.Add(0, velk::kTypeWord, kPrefill);
  read.Add(0, velk::kTypeWord, kPrefill);
  const uint64_t before = platform::FileTimeNow();
  ASSERT_EQ(driver.ProcessPacket2(read.get()), 1);
  EXPECT_EQ(SlotBits(read.item(0).value), 15u);
  EXPECT_EQ(read.item(0).quality, velk::kQualityGood);
  EXPECT_GE((uint64_t{read.item(0).timeStampHigh} << 32) | read.item(0).timeStampLow, before);
  EXPECT_EQ(SlotBits(read.item(1).value), kPrefill) << "only the first item";
  EXPECT_EQ(read.item(1).quality, 0);

  // Write: the low 16 bits become the first wait of the next exchange.
  HostPacket<velk::TagItem> write("Velk4017", "DISPLAY", 4, 1);
  write.Add(0, velk::kTypeWord, 0xABCD0064u);
  ASSERT_EQ(driver.ProcessPacket(write.get()), 1);
  EXPECT_TRUE(fake.writes.empty()) << "the driver answers DISPLAY itself";
  EXPECT_EQ(driver.line().pollDelayMs, 100);

  // Through IDriver2 a write is stamped like a read, unlike the writes that
  // reach a module; the value keeps what the host wrote.
  HostPacket<velk::TagItem2> write2("Velk4017", "DISPLAY", 4, 1);
  write2.Add(0, velk::kTypeWord, 100);
  ASSERT_EQ(driver.ProcessPacket2(write2.get()), 1);
  EXPECT_EQ(write2.item(0).quality, velk::kQualityGood);
  EXPECT_NE((uint64_t{write2.item(0).timeStampHigh} << 32) | write2.item(0).timeStampLow, 0u);
  EXPECT_EQ(SlotBits(write2.item(0).value), 100u);

  Answers({{testsupport::WithChecksum("#010"), testsupport::WithChecksum(">+01.000")}});
  HostPacket<velk::TagItem> ai("Velk4017", "AI", 0, 0);
  ai.Add(0, velk::kTypeFloat, kPrefill);
  clock.sleeps.clear();
  ASSERT_EQ(driver.ProcessPacket(ai.get()), 1);
  ASSERT_FALSE(clock.sleeps.empty());
  EXPECT_EQ(clock.sleeps.front(), 100u);

  // Case counts: "display" is an ordinary register name, and register 4 of
  // the Velk4017 has no command.
  fake.writes.clear();
  HostPacket<velk::TagItem> lower("Velk4017", "display", 4, 0);
  lower.Add(0, velk::kTypeWord, kPrefill);
  EXPECT_EQ(driver.ProcessPacket(lower.get()), 0);
  EXPECT_EQ(SlotBits(lower.item(0).value), kPrefill);
  EXPECT_TRUE(fake.writes.empty());
}

TEST_F(PacketProcessing, Velk4050OutputsAreReadBackTwice) {
  const std::string bitWrite = "#01130149\r";
  const std::string inputs = testsupport::WithChecksum("$016");
  Answers({{bitWrite, testsupport::WithChecksum(">")}, {inputs, testsupport::WithChecksum("!12A5")}});

  HostPacket<velk::TagItem> write("Velk4050", "DO", 1, 1);
  write.Add(3, velk::kTypeBit, 1);
  EXPECT_EQ(driver.ProcessPacket(write.get()), 1);
  EXPECT_EQ(fake.writes, (std::vector<std::string>{bitWrite, inputs, inputs}));
  EXPECT_EQ(write.header().registerCode, 1);
  EXPECT_EQ(write.header().direction, 1);

  // A read of the outputs decodes the first answer, not the read-backs.
  Answers({{inputs, testsupport::WithChecksum("!5AA5")}});
  fake.writes.clear();
  HostPacket<velk::TagItem2> read("velk4050", "DO", 1, 0);
  velk::TagItem2& item = read.Add(0, velk::kTypeByte, kPrefill);
  EXPECT_EQ(driver.ProcessPacket2(read.get()), 1);
  EXPECT_EQ(fake.writes.size(), 3u);
  EXPECT_EQ(SlotBits(item.value), 0xCCCCCC5Au);
  EXPECT_EQ(read.header().registerCode, 1);
  EXPECT_EQ(read.header().direction, 0);

  // Only the Velk4050 itself, and only its outputs.
  fake.writes.clear();
  HostPacket<velk::TagItem2> other("Velk4052", "DO", 1, 0);
  other.Add(0, velk::kTypeByte, kPrefill);
  EXPECT_EQ(driver.ProcessPacket2(other.get()), 1);
  EXPECT_EQ(fake.writes.size(), 1u);
}

// The read-backs follow the exchange before its answer is judged: a refused
// output write still sends them, and the packet fails afterwards.
TEST_F(PacketProcessing, RefusedVelk4050OutputWriteIsStillReadBack) {
  const std::string byteWrite = testsupport::WithChecksum("#0100A5");
  const std::string inputs = testsupport::WithChecksum("$016");
  Answers({{byteWrite, testsupport::WithChecksum("?01")}, {inputs, testsupport::WithChecksum("!12A5")}});
  HostPacket<velk::TagItem> p("Velk4050", "DO", 1, 1);
  p.Add(0, velk::kTypeByte, 0xA5);
  EXPECT_EQ(driver.ProcessPacket(p.get()), 0);
  EXPECT_EQ(fake.writes, (std::vector<std::string>{byteWrite, inputs, inputs}));
  EXPECT_EQ(p.header().registerCode, 1);
  EXPECT_EQ(p.header().direction, 1);
}

// A read-back answered with something not the module's own (a wrong lead
// or checksum) does not fail the write the module confirmed, but the line
// waits for quiet before its next command.
TEST_F(PacketProcessing, UnusableReadBackKeepsTheConfirmedWrite) {
  const std::string byteWrite = testsupport::WithChecksum("#0100A5");
  const std::string inputs = testsupport::WithChecksum("$016");
  for (const std::string& readBack : {std::string("!12A500\r"), testsupport::WithChecksum(">12A5")}) {
    SCOPED_TRACE(readBack);
    Answers({{byteWrite, testsupport::WithChecksum(">")}, {inputs, readBack}});
    HostPacket<velk::TagItem> p("Velk4050", "DO", 1, 1);
    p.Add(0, velk::kTypeByte, 0xA5);
    EXPECT_EQ(driver.ProcessPacket(p.get()), 1);
    EXPECT_TRUE(driver.line().outOfStep());
  }
}

TEST_F(PacketProcessing, FailedReadBackStillRestoresThePacket) {
  // The write is answered, the reads that follow are not.
  const std::string byteWrite = testsupport::WithChecksum("#0100A5");
  Answers({{byteWrite, testsupport::WithChecksum(">")}});
  HostPacket<velk::TagItem2> p("Velk4050", "DO", 1, 1);
  p.Add(0, velk::kTypeByte, 0xA5);
  const std::vector<uint8_t> before = p.ItemBytes();
  EXPECT_EQ(driver.ProcessPacket2(p.get()), 0);
  EXPECT_EQ(fake.writes.size(), 2u) << "the second read-back is not sent after the first failed";
  EXPECT_EQ(p.header().registerCode, 1);
  EXPECT_EQ(p.header().direction, 1);
  EXPECT_EQ(p.ItemBytes(), before);
}

TEST_F(PacketProcessing, BroadcastWaitsForNoAnswer) {
  Answers({});
  for (bool checksum : {true, false}) {
    fake.writes.clear();
    HostPacket<velk::TagItem2> p("Velk4015", "SYNSAM", 5, 1, 7, checksum);
    p.Add(0, velk::kTypeBit, 1);
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(driver.ProcessPacket2(p.get()), 1);
    EXPECT_LT(clock.TickMs() - start, 15u);
    EXPECT_EQ(fake.writes, std::vector<std::string>{checksum ? "#**77\r" : "#**\r"});
  }
}

TEST_F(PacketProcessing, MalformedPacketsFailWithoutTraffic) {
  Answers({{testsupport::WithChecksum("#01"), testsupport::WithChecksum(">+01.000")}});
  EXPECT_EQ(driver.ProcessPacket(nullptr), 0);
  EXPECT_EQ(driver.ProcessPacket2(nullptr), 0);

  HostPacket<velk::TagItem> empty("Velk4011", "AI", 0, 0);
  EXPECT_EQ(driver.ProcessPacket(empty.get()), 0);
  HostPacket<velk::TagItem2> emptyDisplay("Velk4011", "DISPLAY", 0, 0);
  EXPECT_EQ(driver.ProcessPacket2(emptyDisplay.get()), 0);

  HostPacket<velk::TagItem> noType("Velk4011", "AI", 0, 0);
  noType.Add(0, velk::kTypeFloat, kPrefill);
  noType.header().moduleType = nullptr;
  EXPECT_EQ(driver.ProcessPacket(noType.get()), 0);

  HostPacket<velk::TagItem2> noName("Velk4011", "AI", 0, 0);
  noName.Add(0, velk::kTypeFloat, kPrefill);
  noName.header().registerName = nullptr;
  EXPECT_EQ(driver.ProcessPacket2(noName.get()), 0);

  HostPacket<velk::TagItem> noDevice("Velk4011", "AI", 0, 0);
  noDevice.Add(0, velk::kTypeFloat, kPrefill);
  noDevice.header().device = nullptr;
  EXPECT_EQ(driver.ProcessPacket(noDevice.get()), 0);

  HostPacket<velk::TagItem> writeOnly("Velk4011", "SPANCAL", 1, 0);
  writeOnly.Add(0, velk::kTypeBit, kPrefill);
  EXPECT_EQ(driver.ProcessPacket(writeOnly.get()), 0);

  EXPECT_TRUE(fake.writes.empty());
}

TEST_F(PacketProcessing, Velk4068IsServedThroughBothInterfaces) {
  Answers({{testsupport::WithChecksum("$016"), testsupport::WithChecksum("!12A5")}});
  HostPacket<velk::TagItem> p("Velk4068", "DI", 0, 0);
  velk::TagItem& item = p.Add(4, velk::kTypeBit, kPrefill);
  ASSERT_EQ(driver.ProcessPacket(p.get()), 1);
  EXPECT_EQ(SlotBits(item.value), 1u);
}

}  // namespace
