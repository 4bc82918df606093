// The "Velk" modules end to end: the host's calls through the exported
// interface, the driver on a pseudo-terminal, the simulated bus on the other
// side, playing the modules from their own description of the protocol.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/server.h"
#include "support/host_driver.h"
#include "support/simulated_line.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

using testsupport::BitsFloat;
using testsupport::FloatBits;
using testsupport::HostDriver;
using testsupport::HostLibrary;
using testsupport::HostPacket;
using testsupport::SlotBits;

const int16_t kAnswerTimeoutMs = 300;
const uint32_t kPrefill = 0xCCCCCCCCu;

class VelkEndToEnd : public testsupport::SimulatedLineTest {
 protected:
  VelkEndToEnd() : SimulatedLineTest(kAnswerTimeoutMs) {}

 public:
  sim::VelkModule* AddModule(const char* type, uint8_t address, bool checksum) {
    std::string error;
    sim::Module* m = bus.Add(type, address, checksum, &error);
    EXPECT_NE(m, nullptr) << error;
    return m == nullptr ? nullptr : bus.Velk(address);
  }

  int32_t Process(HostPacket<velk::TagItem>& p) { return host.d->ProcessPacket(p.get()); }
  int32_t Process(HostPacket<velk::TagItem2>& p) { return host.d2->ProcessPacket2(p.get()); }

  // Reads the pseudo-register of the driver: no traffic, the value at once.
  void SetFirstWait(uint16_t ms) {
    HostPacket<velk::TagItem> display("Velk4017", "DISPLAY", 4, 1);
    display.Add(0, velk::kTypeWord, ms);
    ASSERT_EQ(host.d->ProcessPacket(display.get()), 1);
  }
};

struct Tag {
  const char* registerName;
  int16_t registerCode;
  int16_t channel;
  int16_t dataType;
};

struct FamilyCase {
  const char* type;
  uint8_t address;
  bool checksum;
  std::function<void(sim::VelkRegisters&)> prepare;
  Tag read;
  uint32_t readBack;                                           // the item's slot after the read
  Tag write;                                                   // registerName null: the family writes nothing
  uint32_t values[2];                                          // written through IDriver, then through IDriver2
  std::function<uint32_t(const sim::VelkRegisters&)> observe;  // the written register, as the value's bits
};

uint32_t AsFloatBits(double v) { return FloatBits(static_cast<float>(v)); }

const FamilyCase kFamilies[] = {
    {"Velk4011",
     1,
     true,
     [](sim::VelkRegisters& r) { r.analogIn[0] = sim::ValueSource::Constant(5.123); },
     {"AI", 0, 0, velk::kTypeFloat},
     FloatBits(5.123f),
     {"AHI", 4, 0, velk::kTypeFloat},
     {FloatBits(5.0f), FloatBits(-2.25f)},
     [](const sim::VelkRegisters& r) { return AsFloatBits(r.alarmHigh); }},
    {"Velk4017",
     2,
     false,
     [](sim::VelkRegisters& r) { r.analogIn[3] = sim::ValueSource::Constant(-1.5); },
     {"AI", 0, 3, velk::kTypeFloat},
     FloatBits(-1.5f),
     {"MP", 3, 0, velk::kTypeByte},
     {0x3F, 0x10},
     [](const sim::VelkRegisters& r) { return uint32_t{r.multiplexer}; }},
    {"Velk4021",
     3,
     true,
     [](sim::VelkRegisters& r) { r.analogOut[0] = 5.5; },
     {"AO", 0, 0, velk::kTypeFloat},
     FloatBits(5.5f),
     {"AO", 0, 0, velk::kTypeFloat},
     {FloatBits(7.25f), FloatBits(12.5f)},
     [](const sim::VelkRegisters& r) { return AsFloatBits(r.analogOut[0]); }},
    {"Velk4024",
     4,
     false,
     [](sim::VelkRegisters& r) { r.analogOut[1] = -2.5; },
     {"AO", 0, 1, velk::kTypeFloat},
     FloatBits(-2.5f),
     {"AO", 0, 2, velk::kTypeFloat},
     {FloatBits(1.25f), FloatBits(-0.5f)},
     [](const sim::VelkRegisters& r) { return AsFloatBits(r.analogOut[2]); }},
    {"Velk4051",
     5,
     true,
     [](sim::VelkRegisters& r) { r.digitalIn = 0x1234; },
     {"DI", 0, 2, velk::kTypeBit},
     1,
     {nullptr, 0, 0, 0},
     {0, 0},
     nullptr},
    {"Velk4050",
     6,
     true,
     [](sim::VelkRegisters& r) { r.digitalIn = 0xA5; },
     {"DI", 0, 0, velk::kTypeByte},
     0xCCCCCCA5u,
     {"DO", 1, 0, velk::kTypeByte},
     {0x5A, 0xC3},
     [](const sim::VelkRegisters& r) { return r.digitalOut; }},
    {"Velk4068",
     7,
     true,
     [](sim::VelkRegisters& r) { r.digitalOut = 0x81; },
     {"DI", 0, 0, velk::kTypeByte},
     0xCCCCCC81u,
     {"DO", 1, 0, velk::kTypeByte},
     {0x18, 0x24},
     [](const sim::VelkRegisters& r) { return r.digitalOut; }},
    {"Velk4080",
     8,
     true,
     [](sim::VelkRegisters& r) { r.maxCounter[1] = 0xDEADBEEF; },
     {"MCV", 4, 1, velk::kTypeLong},
     0xDEADBEEFu,
     {"MCV", 4, 0, velk::kTypeLong},
     {0x12345678, 0x0000FFFF},
     [](const sim::VelkRegisters& r) { return r.maxCounter[0]; }},
    {"Velk4015",
     9,
     false,
     [](sim::VelkRegisters& r) { r.analogIn[1] = sim::ValueSource::Constant(12.345); },
     {"NVALUE", 3, 2, velk::kTypeShort},
     0xCCCC000Cu,
     {"MULTIP", 4, 0, velk::kTypeByte},
     {0x0A, 0x05},
     [](const sim::VelkRegisters& r) { return uint32_t{r.multiplier}; }},
};

template <typename Item>
void ReadAndWrite(VelkEndToEnd& t, const FamilyCase& c, int pass) {
  t.bus.Velk(c.address)->Update(c.prepare);
  HostPacket<Item> read(c.type, c.read.registerName, c.read.registerCode, 0, c.address, c.checksum);
  Item& item = read.Add(c.read.channel, c.read.dataType, kPrefill);
  ASSERT_EQ(t.Process(read), 1);
  EXPECT_EQ(SlotBits(item.value), c.readBack);
  if (c.write.registerName == nullptr) return;
  HostPacket<Item> write(c.type, c.write.registerName, c.write.registerCode, 1, c.address, c.checksum);
  write.Add(c.write.channel, c.write.dataType, c.values[pass]);
  const std::vector<uint8_t> before = write.ItemBytes();
  ASSERT_EQ(t.Process(write), 1);
  EXPECT_EQ(write.ItemBytes(), before);
  EXPECT_EQ(c.observe(t.bus.Velk(c.address)->registers()), c.values[pass]);
}

TEST_F(VelkEndToEnd, OneReadAndOneWritePerFamilyUnderBothInterfaces) {
  SetFirstWait(0);
  for (const FamilyCase& c : kFamilies) AddModule(c.type, c.address, c.checksum);
  for (const FamilyCase& c : kFamilies) {
    SCOPED_TRACE(c.type);
    ReadAndWrite<velk::TagItem>(*this, c, 0);
    ReadAndWrite<velk::TagItem2>(*this, c, 1);
  }
  for (const sim::CommandRecord& r : bus.Recent(200)) {
    EXPECT_FALSE(r.answer.empty()) << r.command << " " << r.note;
    EXPECT_NE(r.answer[0], '?') << r.command;
  }
}

TEST_F(VelkEndToEnd, Driver2StampsAndFloatChannelValues) {
  SetFirstWait(0);
  AddModule("Velk4015", 1, true)->Update([](sim::VelkRegisters& r) {
    r.analogIn[1] = sim::ValueSource::Constant(12.345);
  });
  HostPacket<velk::TagItem2> p("Velk4015", "NVALUE", 3, 0, 1, true);
  velk::TagItem2& item = p.Add(2, velk::kTypeFloat, kPrefill);
  ASSERT_EQ(host.d2->ProcessPacket2(p.get()), 1);
  EXPECT_EQ(BitsFloat(SlotBits(item.value)), 12.345f);
  EXPECT_EQ(item.quality, velk::kQualityGood);
  EXPECT_NE(item.timeStampHigh, 0u);
  EXPECT_EQ(bus.Find(testsupport::WithChecksum("#011")).size(), 1u);
}

TEST_F(VelkEndToEnd, RefusedAndSpoiledAnswersLeaveItemsAlone) {
  SetFirstWait(0);
  sim::VelkModule* m = AddModule("Velk4017", 1, true);
  m->Update([](sim::VelkRegisters& r) { r.analogIn[0] = sim::ValueSource::Constant(3.0); });
  sim::Faults refuse;
  refuse.refuse = true;
  sim::Faults spoiled;
  spoiled.badChecksum = true;
  for (const sim::Faults& f : {refuse, spoiled}) {
    SCOPED_TRACE(f.Describe());
    m->SetFaults(f);
    bus.ClearRecord();
    HostPacket<velk::TagItem> p1("Velk4017", "AI", 0, 0, 1, true);
    p1.Add(0, velk::kTypeFloat, kPrefill);
    const std::vector<uint8_t> before1 = p1.ItemBytes();
    EXPECT_EQ(host.d->ProcessPacket(p1.get()), 0);
    EXPECT_EQ(p1.ItemBytes(), before1);
    HostPacket<velk::TagItem2> p2("Velk4017", "AI", 0, 0, 1, true);
    p2.Add(0, velk::kTypeFloat, kPrefill);
    const std::vector<uint8_t> before2 = p2.ItemBytes();
    EXPECT_EQ(host.d2->ProcessPacket2(p2.get()), 0);
    EXPECT_EQ(p2.ItemBytes(), before2);
    // The module did answer, and only once per packet.
    const std::vector<sim::CommandRecord> seen = bus.Find(testsupport::WithChecksum("#010"));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].answer.empty());
  }
  m->SetFaults(sim::Faults());
  HostPacket<velk::TagItem2> ok("Velk4017", "AI", 0, 0, 1, true);
  ok.Add(0, velk::kTypeFloat, kPrefill);
  EXPECT_EQ(host.d2->ProcessPacket2(ok.get()), 1);
  EXPECT_EQ(SlotBits(ok.item(0).value), FloatBits(3.0f));
}

TEST_F(VelkEndToEnd, DisplayIsTheFirstWait) {
  AddModule("Velk4011", 1, false);
  HostPacket<velk::TagItem2> read("Velk4011", "DISPLAY", 10, 0, 1, false);
  read.Add(0, velk::kTypeWord, kPrefill);
  ASSERT_EQ(host.d2->ProcessPacket2(read.get()), 1);
  EXPECT_EQ(SlotBits(read.item(0).value), 15u);
  EXPECT_EQ(read.item(0).quality, velk::kQualityGood);

  const auto timedRead = [this] {
    HostPacket<velk::TagItem> ai("Velk4011", "AI", 0, 0, 1, false);
    ai.Add(0, velk::kTypeFloat);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.d->ProcessPacket(ai.get()), 1);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  SetFirstWait(150);
  EXPECT_GE(timedRead(), 150);
  SetFirstWait(0);
  EXPECT_LT(timedRead(), 120);
  EXPECT_EQ(bus.CommandCount(), 2u) << "DISPLAY never reaches the line";
}

TEST_F(VelkEndToEnd, Velk4050OutputWriteIsReadBackTwice) {
  SetFirstWait(0);
  sim::VelkModule* m = AddModule("Velk4050", 1, false);
  m->Update([](sim::VelkRegisters& r) {
    r.digitalOut = 0x01;
    r.digitalIn = 0x3C;
  });
  HostPacket<velk::TagItem2> p("Velk4050", "DO", 1, 1, 1, false);
  p.Add(3, velk::kTypeBit, 1);
  ASSERT_EQ(host.d2->ProcessPacket2(p.get()), 1);
  const std::vector<sim::CommandRecord> seen = bus.Recent();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].command, "#01130149\r") << "the single-bit write keeps its checksum";
  EXPECT_EQ(seen[1].command, "$016\r");
  EXPECT_EQ(seen[2].command, "$016\r");
  EXPECT_EQ(m->registers().digitalOut, 0x09u);
  EXPECT_EQ(p.header().registerCode, 1);
  EXPECT_EQ(p.header().direction, 1);

  // A read of the outputs: three commands too, the first answer decoded.
  bus.ClearRecord();
  HostPacket<velk::TagItem> out("Velk4050", "DO", 1, 0, 1, false);
  out.Add(3, velk::kTypeBit, kPrefill);
  ASSERT_EQ(host.d->ProcessPacket(out.get()), 1);
  EXPECT_EQ(bus.Recent().size(), 3u);
  EXPECT_EQ(SlotBits(out.item(0).value), 1u);
  EXPECT_EQ(out.header().registerCode, 1);
  EXPECT_EQ(out.header().direction, 0);
}

TEST_F(VelkEndToEnd, BroadcastSampleThenSynchronousData) {
  SetFirstWait(0);
  sim::VelkModule* a = AddModule("Velk4015", 1, true);
  sim::VelkModule* b = AddModule("Velk4015", 2, true);
  a->Update([](sim::VelkRegisters& r) { r.rawInput = 1234; });  // what the sample takes
  HostPacket<velk::TagItem> sample("Velk4015", "SYNSAM", 5, 1, 2, true);
  sample.Add(0, velk::kTypeBit, 1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(host.d->ProcessPacket(sample.get()), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kAnswerTimeoutMs / 2));
  // The bus sees the line a moment later; every module takes it.
  for (int i = 0; i < 100 && bus.Find("#**77\r").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const std::vector<sim::CommandRecord> seen = bus.Find("#**77\r");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].answer.empty());
  EXPECT_TRUE(b->registers().syncFresh);

  HostPacket<velk::TagItem2> data("Velk4015", "SYNDATA", 6, 0, 1, true);
  data.Add(0, velk::kTypeShort, kPrefill);
  ASSERT_EQ(host.d2->ProcessPacket2(data.get()), 1);
  EXPECT_EQ(SlotBits(data.item(0).value), 0xCCCC0000u | 1234u);
}

TEST_F(VelkEndToEnd, SilentModuleFailsAfterTheTimeout) {
  SetFirstWait(0);
  sim::Faults silent;
  silent.silent = true;
  AddModule("Velk4080", 1, true)->SetFaults(silent);
  HostPacket<velk::TagItem2> p("Velk4080", "PCVL", 2, 0, 1, true);
  p.Add(0, velk::kTypeWord, kPrefill);
  const std::vector<uint8_t> before = p.ItemBytes();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.d2->ProcessPacket2(p.get()), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(kAnswerTimeoutMs));
  EXPECT_LT(took, std::chrono::milliseconds(kAnswerTimeoutMs + 300));
  EXPECT_EQ(p.ItemBytes(), before);
  EXPECT_EQ(bus.Find(testsupport::WithChecksum("#010")).size(), 1u);
}

// The host must not call one object from two threads, yet some do: the
// object takes the calls one at a time, so neither thread ever gets the
// other module's value as its own.
TEST_F(VelkEndToEnd, CallsFromTwoThreadsAreTakenOneAtATime) {
  SetFirstWait(0);
  AddModule("Velk4011", 1, true)->Update([](sim::VelkRegisters& r) {
    r.analogIn[0] = sim::ValueSource::Constant(5.0);
  });
  AddModule("Velk4011", 2, true)->Update([](sim::VelkRegisters& r) {
    r.analogIn[0] = sim::ValueSource::Constant(9.0);
  });
  int wrong[2] = {0, 0};
  auto poll = [this, &wrong](uint8_t address, float want, int slot) {
    for (int i = 0; i < 200; ++i) {
      HostPacket<velk::TagItem2> p("Velk4011", "AI", 0, 0, address, true);
      p.Add(0, velk::kTypeFloat, kPrefill);
      if (host.d2->ProcessPacket2(p.get()) != 1 || SlotBits(p.item(0).value) != FloatBits(want)) ++wrong[slot];
    }
  };
  std::thread first(poll, 1, 5.0f, 0);
  std::thread second(poll, 2, 9.0f, 1);
  first.join();
  second.join();
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
}

}  // namespace
