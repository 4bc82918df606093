// Data7810 modules and Data7210 displays end to end: the host's calls
// through the exported interface, the driver on a pseudo-terminal, the
// simulated bus on the other side.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "sim/bus.h"
#include "sim/server.h"
#include "support/host_driver.h"
#include "support/simulated_line.h"
#include "support/packet_builder.h"

namespace {

using testsupport::FloatBits;
using testsupport::HostDriver;
using testsupport::HostLibrary;
using testsupport::HostPacket;
using testsupport::SlotBits;

// Register indices of the two Data groups.
enum : int16_t { kAddr = 0, kBaud = 1, kVersion = 2, kName = 3, kDI = 4, kDO = 5, kTemp = 6 };
enum : int16_t { kCfgStaT = 0, kMdVerF = 1, kMdNameM = 2, kSetDat = 3 };

const int16_t kAnswerTimeoutMs = 500;

uint16_t AtomOf(const velk::ValueSlot& slot) { return static_cast<uint16_t>(SlotBits(slot) & 0xFFFF); }

class DataModulesEndToEnd : public testsupport::SimulatedLineTest {
 protected:
  DataModulesEndToEnd() : SimulatedLineTest(kAnswerTimeoutMs) {}

  // Commands the bus received that equal `command` exactly.
  size_t Received(const std::string& command) const { return bus.Find(command).size(); }
};

TEST_F(DataModulesEndToEnd, Data7810Configuration) {
  bus.Add("Data7810", 1);
  HostPacket<velk::TagItem2> baud("Data7810", "Baud", kBaud, 0, 1, false);
  baud.Add(0, velk::kTypeWord);
  ASSERT_EQ(host.d2->ProcessPacket2(baud.get()), 1);
  EXPECT_EQ(SlotBits(baud.item(0).value), 9600u);  // "!01000600"
  EXPECT_EQ(baud.item(0).quality, velk::kQualityGood);

  HostPacket<velk::TagItem> addr("Data7810", "Addr", kAddr, 0, 1, false);
  addr.Add(0, velk::kTypeByte, 0xAABBCC00u);
  ASSERT_EQ(host.d->ProcessPacket(addr.get()), 1);
  EXPECT_EQ(SlotBits(addr.item(0).value), 0xAABBCC01u);
  EXPECT_EQ(Received("$012\r"), 2u);
}

TEST_F(DataModulesEndToEnd, Data7810VersionNameAndInputs) {
  sim::Data7810Module* m = bus.Data7810(bus.Add("Data7810", 1)->address());
  m->Update([](sim::Data7810Registers& r) {
    r.version = "B2.10";
    r.name = "Boiler01";
    r.digitalIn = 2;
  });
  HostPacket<velk::TagItem> version("Data7810", "Version", kVersion, 0, 1, false);
  version.Add(0, velk::kTypeString);
  ASSERT_EQ(host.d->ProcessPacket(version.get()), 1);
  EXPECT_EQ(testsupport::AtomText(library, AtomOf(version.item(0).value)), "B2.10");

  HostPacket<velk::TagItem2> name("Data7810", "Name", kName, 0, 1, false);
  name.Add(0, velk::kTypeString);
  ASSERT_EQ(host.d2->ProcessPacket2(name.get()), 1);
  EXPECT_EQ(testsupport::AtomText(library, AtomOf(name.item(0).value)), "Boiler01");

  HostPacket<velk::TagItem> inputs("Data7810", "DI", kDI, 0, 1, false);
  inputs.Add(0, velk::kTypeBit, 7);
  ASSERT_EQ(host.d->ProcessPacket(inputs.get()), 1);
  EXPECT_EQ(SlotBits(inputs.item(0).value), 0u);
  HostPacket<velk::TagItem> input1("Data7810", "DI", kDI, 0, 1, false);
  input1.Add(1, velk::kTypeBit);
  ASSERT_EQ(host.d->ProcessPacket(input1.get()), 1);
  EXPECT_EQ(SlotBits(input1.item(0).value), 1u);
}

TEST_F(DataModulesEndToEnd, Data7810TemperatureGroups) {
  sim::Data7810Module* m = bus.Data7810(bus.Add("Data7810", 1)->address());
  m->Update([](sim::Data7810Registers& r) {
    r.temperature[0] = sim::ValueSource::Constant(-25.0);
    r.temperature[3] = sim::ValueSource::Constant(25.0);
    r.temperatureValid[5] = false;
    r.groupOrder = {{7, 6, 5, 4, 3, 2, 1, 0}};  // found by channel, not by place
  });
  HostPacket<velk::TagItem2> temps("Data7810", "Temp", kTemp, 0, 1, false);
  temps.Add(0, velk::kTypeFloat, FloatBits(99.0f));
  temps.Add(3, velk::kTypeFloat, FloatBits(99.0f));
  temps.Add(5, velk::kTypeFloat, FloatBits(99.0f));
  ASSERT_EQ(host.d2->ProcessPacket2(temps.get()), 1);
  EXPECT_EQ(testsupport::BitsFloat(SlotBits(temps.item(0).value)), -25.0f);  // group 1190
  EXPECT_EQ(testsupport::BitsFloat(SlotBits(temps.item(1).value)), 25.0f);   // group 6190
  EXPECT_EQ(testsupport::BitsFloat(SlotBits(temps.item(2).value)), 99.0f);   // no valid reading: kept,
  EXPECT_EQ(temps.item(2).quality, 16);                                      // and bad (sensor failure)
  EXPECT_EQ(temps.item(1).quality, velk::kQualityGood);
  const std::vector<sim::CommandRecord> reads = bus.Find("$010\r");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_NE(reads[0].answer.find("1190"), std::string::npos);
  EXPECT_NE(reads[0].answer.find("6190"), std::string::npos);

  m->Update([](sim::Data7810Registers& r) { r.temperatureValid[0] = false; });
  HostPacket<velk::TagItem> invalid("Data7810", "Temp", kTemp, 0, 1, false);
  invalid.Add(0, velk::kTypeFloat, FloatBits(99.0f));
  ASSERT_EQ(host.d->ProcessPacket(invalid.get()), 1);
  EXPECT_EQ(testsupport::BitsFloat(SlotBits(invalid.item(0).value)), 99.0f);  // group 0800
  EXPECT_NE(bus.Find("$010\r").back().answer.find("0800"), std::string::npos);
}

TEST_F(DataModulesEndToEnd, Data7810BusyModuleIsAskedAgainThenGivenUp) {
  sim::Module* module = bus.Add("Data7810", 1);
  sim::Data7810Module* m = bus.Data7810(module->address());
  m->Update([](sim::Data7810Registers& r) {
    r.busyReads = 2;
    r.temperature[2] = sim::ValueSource::Constant(21.5);
  });
  HostPacket<velk::TagItem2> temp("Data7810", "Temp", kTemp, 0, 1, false);
  temp.Add(2, velk::kTypeFloat);
  ASSERT_EQ(host.d2->ProcessPacket2(temp.get()), 1);
  EXPECT_EQ(testsupport::BitsFloat(SlotBits(temp.item(0).value)), 21.5f);
  EXPECT_EQ(Received("$010\r"), 3u);

  sim::Faults busy;
  busy.alwaysBusy = true;
  module->SetFaults(busy);
  HostPacket<velk::TagItem2> stuck("Data7810", "Temp", kTemp, 0, 1, false);
  stuck.Add(2, velk::kTypeFloat, FloatBits(7.0f));
  const std::vector<uint8_t> before = stuck.ItemBytes();
  const size_t asked = Received("$010\r");
  EXPECT_EQ(host.d2->ProcessPacket2(stuck.get()), 0);
  EXPECT_EQ(stuck.ItemBytes(), before);
  // Asked again at a pace, not back to back: within the time-out after its
  // first busy answer no more often than once per answer on the wire
  // (36 characters at 9600 baud) and the 100 ms pause, yet more than once.
  const size_t stuckAsks = Received("$010\r") - asked;
  const size_t most = 2 + kAnswerTimeoutMs / (36 + 100);
  EXPECT_GE(stuckAsks, 3u);
  EXPECT_LE(stuckAsks, most);
  printf("[ figure   ] a module stuck busy: %zu commands in one packet of a %d ms time-out\n", stuckAsks,
         kAnswerTimeoutMs);
}

TEST_F(DataModulesEndToEnd, Data7810Writes) {
  bus.Add("Data7810", 1);
  bus.Add("Data7810", 2);
  // Each module has its own outputs: output 1 of the first and then output
  // 0 of the second sends "1" to the second.
  HostPacket<velk::TagItem> first("Data7810", "DO", kDO, 1, 1, false);
  first.Add(1, velk::kTypeBit, 1);
  ASSERT_EQ(host.d->ProcessPacket(first.get()), 1);
  HostPacket<velk::TagItem> second("Data7810", "DO", kDO, 1, 2, false);
  second.Add(0, velk::kTypeBit, 1);
  ASSERT_EQ(host.d->ProcessPacket(second.get()), 1);
  EXPECT_EQ(Received("#012\r"), 1u);
  EXPECT_EQ(Received("#021\r"), 1u);
  EXPECT_EQ(bus.Data7810(2)->registers().digitalOut, 1);

  // A "DO" read is answered from nothing on the line.
  const uint64_t count = bus.CommandCount();
  HostPacket<velk::TagItem2> readOut("Data7810", "DO", kDO, 0, 1, false);
  readOut.Add(0, velk::kTypeBit);
  EXPECT_EQ(host.d2->ProcessPacket2(readOut.get()), 1);
  EXPECT_EQ(bus.CommandCount(), count);

  // Rates without a code of their own are refused before anything is sent;
  // 38400 is code 08.
  for (uint32_t rate : {0u, 57600u, 115200u}) {
    const uint64_t before = bus.CommandCount();
    HostPacket<velk::TagItem2> refused("Data7810", "Baud", kBaud, 1, 1, false);
    refused.Add(0, velk::kTypeWord, rate);
    EXPECT_EQ(host.d2->ProcessPacket2(refused.get()), 0) << rate;
    EXPECT_EQ(bus.CommandCount(), before) << rate;
  }
  HostPacket<velk::TagItem2> fast("Data7810", "Baud", kBaud, 1, 1, false);
  fast.Add(0, velk::kTypeWord, 38400);
  EXPECT_EQ(host.d2->ProcessPacket2(fast.get()), 1);
  EXPECT_EQ(Received("%0101000800\r"), 1u);
  EXPECT_EQ(bus.Data7810(1)->registers().baudCode, 8);

  // A new address, taken by the module.
  HostPacket<velk::TagItem> move("Data7810", "Addr", kAddr, 1, 1, false);
  move.Add(0, velk::kTypeByte, 5);
  EXPECT_EQ(host.d->ProcessPacket(move.get()), 1);
  EXPECT_EQ(Received("%0105000800\r"), 1u);
  EXPECT_NE(bus.Data7810(5), nullptr);
}

TEST_F(DataModulesEndToEnd, Data7810Probe) {
  bus.Add("Data7810", 3);
  velk::DeviceRecord device{3, 0, {}};
  EXPECT_EQ(host.d->ProbeDevice("Data7810", 3, &device), 1);
  EXPECT_EQ(Received("$03F\r"), 1u);
}

TEST_F(DataModulesEndToEnd, Data7210DisplaysShowNumbers) {
  bus.Add("Data7210", 2);
  bus.Add("Data7210", 10);
  struct Case {
    int16_t channel;
    int16_t dataType;
    uint32_t bits;
    int16_t decimals;
    const char* command;
    const char* shown;
  } cases[] = {
      {2, velk::kTypeFloat, FloatBits(12.5f), 1, "#02FFFFFFF92492\r", "12.5"},
      {10, velk::kTypeFloat, FloatBits(-5.5f), 1, "#0AFFFFFFBF1292\r", "-5.5"},
      {2, velk::kTypeShort, 7, 0, "#02FFFFFFFFFFF8\r", "7"},
      {2, velk::kTypeFloat, FloatBits(2345.67f), 2, "#02A4B0991282F8\r", "2345.67"},
  };
  for (const Case& c : cases) {
    HostPacket<velk::TagItem2> p("Data7210", "SetDat", kSetDat, 1, 1, false);
    p.header().decimals = c.decimals;
    p.Add(c.channel, c.dataType, c.bits);
    EXPECT_EQ(host.d2->ProcessPacket2(p.get()), 1) << c.command;
    EXPECT_EQ(Received(c.command), 1u) << c.command;
    EXPECT_EQ(bus.Display(static_cast<uint8_t>(c.channel))->Shown(), c.shown);
    EXPECT_EQ(p.item(0).quality, velk::kQualityGood);
  }

  // Numbers the display cannot show as they are: nothing is sent.
  const uint64_t count = bus.CommandCount();
  for (float number : {1234567.0f, 12345.678f, -12345.6f}) {
    HostPacket<velk::TagItem> big("Data7210", "SetDat", kSetDat, 1, 1, false);
    big.header().decimals = 3;
    big.Add(2, velk::kTypeFloat, FloatBits(number));
    EXPECT_EQ(host.d->ProcessPacket(big.get()), 0) << number;
  }
  EXPECT_EQ(bus.CommandCount(), count);
}

TEST_F(DataModulesEndToEnd, Data7210TextsInCodePage936) {
  sim::Data7210Display* display = bus.Display(bus.Add("Data7210", 2)->address());
  display->Update([](sim::Data7210Registers& r) {
    r.formatCode = 0xF0;
    r.version = "C3.01";
    r.name = "Lobby";
  });
  HostPacket<velk::TagItem2> cfg("Data7210", "CfgStaT", kCfgStaT, 0, 1, false);
  cfg.Add(2, velk::kTypeString);
  ASSERT_EQ(host.d2->ProcessPacket2(cfg.get()), 1);
  EXPECT_EQ(testsupport::AtomText(library, AtomOf(cfg.item(0).value)),
            "\xC4\xA3\xBF\xE9\xB5\xD8\xD6\xB7:02 \xB2\xA8\xCC\xD8\xC2\xCA:9600 \xCE\xDE\xD0\xA3\xD1\xE9");

  display->Update([](sim::Data7210Registers& r) { r.formatCode = 0x00; });
  HostPacket<velk::TagItem> sum("Data7210", "CfgStaT", kCfgStaT, 0, 1, false);
  sum.Add(2, velk::kTypeString);
  ASSERT_EQ(host.d->ProcessPacket(sum.get()), 1);
  EXPECT_EQ(testsupport::AtomText(library, AtomOf(sum.item(0).value)),
            "\xC4\xA3\xBF\xE9\xB5\xD8\xD6\xB7:02 \xB2\xA8\xCC\xD8\xC2\xCA:9600 \xC0\xDB\xBC\xD3\xD0\xA3\xD1\xE9");

  HostPacket<velk::TagItem> version("Data7210", "MdVerF", kMdVerF, 0, 1, false);
  version.Add(2, velk::kTypeString);
  ASSERT_EQ(host.d->ProcessPacket(version.get()), 1);
  EXPECT_EQ(testsupport::AtomText(library, AtomOf(version.item(0).value)), "C3.01");
  HostPacket<velk::TagItem2> name("Data7210", "MdNameM", kMdNameM, 0, 1, false);
  name.Add(2, velk::kTypeString);
  ASSERT_EQ(host.d2->ProcessPacket2(name.get()), 1);
  EXPECT_EQ(testsupport::AtomText(library, AtomOf(name.item(0).value)), "Lobby");
}

TEST_F(DataModulesEndToEnd, Data7210RefusalByInterface) {
  sim::Module* display = bus.Add("Data7210", 2);
  sim::Faults refuse;
  refuse.refuse = true;
  display->SetFaults(refuse);

  HostPacket<velk::TagItem2> second("Data7210", "MdVerF", kMdVerF, 0, 1, false);
  velk::TagItem2& item = second.Add(2, velk::kTypeString, 0x1234);
  item.quality = velk::kQualityGood;
  item.timeStampLow = 77;
  EXPECT_EQ(host.d2->ProcessPacket2(second.get()), 0);
  EXPECT_EQ(item.quality, velk::kQualityGood);
  EXPECT_EQ(item.timeStampLow, 77u);
  EXPECT_EQ(SlotBits(item.value), 0x1234u);

  HostPacket<velk::TagItem> first("Data7210", "MdVerF", kMdVerF, 0, 1, false);
  first.Add(2, velk::kTypeString, 0x1234);
  EXPECT_EQ(host.d->ProcessPacket(first.get()), 0);
  EXPECT_EQ(SlotBits(first.item(0).value), 0x1234u);
}

TEST_F(DataModulesEndToEnd, Data7210ProbeAsksDisplayTwo) {
  bus.Add("Data7210", 2);
  bus.Add("Data7810", 1);
  velk::DeviceRecord device{9, 0, {}};
  EXPECT_EQ(host.d->ProbeDevice("Data7210", 9, &device), 1);
  EXPECT_EQ(Received("$022\r"), 1u);
}

TEST_F(DataModulesEndToEnd, FailedDisplayProbeReopensAndTheLineStillWorks) {
  bus.Add("Data7810", 1);  // no display at 02
  velk::DeviceRecord device{2, 0, {}};
  EXPECT_EQ(host.d->ProbeDevice("Data7210", 2, &device), 0);
  HostPacket<velk::TagItem2> baud("Data7810", "Baud", kBaud, 0, 1, false);
  baud.Add(0, velk::kTypeWord);
  EXPECT_EQ(host.d2->ProcessPacket2(baud.get()), 1);
  EXPECT_EQ(SlotBits(baud.item(0).value), 9600u);
}

}  // namespace
