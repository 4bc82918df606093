// The Data7810 module and the Data7210 displays of the simulator.
#include <gtest/gtest.h>

#include <string>

#include "sim/bus.h"

namespace {

using sim::Data7810Registers;
using sim::ValueSource;

TEST(SimData7810, ConfigurationVersionNameAndInputs) {
  sim::Bus bus;
  auto* module = bus.Data7810(1);
  ASSERT_EQ(module, nullptr);
  ASSERT_NE(bus.Add("Data7810", 1), nullptr);
  module = bus.Data7810(1);
  ASSERT_NE(module, nullptr);
  module->Update([](Data7810Registers& r) {
    r.digitalIn = 2;
    r.version = "B2.10";
  });
  struct {
    const char* command;
    const char* answer;
  } cases[] = {
      {"$012\r", "!01000600\r"},    // the 9600 configuration, 10 bytes
      {"$01F\r", "!01B2.10\r"},     // 9 bytes
      {"$01M\r", "!01Data7810\r"},  // 12 bytes
      {"$016\r", "!012\r"},         // input 1 set: bit 1 of the character '2'
      {"$01Z\r", "?01\r"},
  };
  for (const auto& c : cases) EXPECT_EQ(bus.Handle(c.command).Bytes(), c.answer) << c.command;
}

TEST(SimData7810, TemperatureGroups) {
  struct {
    uint8_t channel;
    double celsius;
    bool valid;
    const char* group;
  } cases[] = {
      {0, -25.0, true, "1190"},  {3, 25.0, true, "6190"}, {0, 0.0, false, "0800"},
      {7, 0.0625, true, "E001"}, {2, -0.0, true, "4000"}, {1, 500.0, true, "27FF"},  // clamped to 2047/16
  };
  for (const auto& c : cases)
    EXPECT_EQ(sim::Data7810Module::TemperatureGroup(c.channel, c.celsius, c.valid), c.group) << c.celsius;
}

TEST(SimData7810, TemperatureAnswerSearchOrderAndBusy) {
  sim::Bus bus;
  bus.Add("Data7810", 0x10);
  auto* module = bus.Data7810(0x10);
  module->Update([](Data7810Registers& r) {
    r.temperature[0] = ValueSource::Constant(-25.0);
    r.temperature[3] = ValueSource::Constant(25.0);
    r.temperatureValid[5] = false;
    r.groupOrder = {{7, 6, 5, 4, 3, 2, 1, 0}};
    r.busyReads = 2;
  });
  const std::string busy = "!10" + std::string(32, 'N') + "\r";
  EXPECT_EQ(bus.Handle("$100\r").Bytes(), busy);
  EXPECT_EQ(bus.Handle("$100\r").Bytes(), busy);
  const std::string answer = bus.Handle("$100\r").Bytes();
  EXPECT_EQ(answer, "!10E000C000A80080006190400020001190\r");
  EXPECT_EQ(answer.size(), 36u);  // groups at positions 3-34, then the carriage return

  sim::Faults faults;
  faults.alwaysBusy = true;
  module->SetFaults(faults);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bus.Handle("$100\r").Bytes(), busy);
}

TEST(SimData7810, SetAddressBaudAndOutputs) {
  sim::Bus bus;
  bus.Add("Data7810", 1);
  bus.Add("Velk4017", 5);
  struct {
    const char* command;
    const char* answer;
  } cases[] = {
      {"%01010008F0\r", "!01\r"},  // baud code 08, format F0
      {"$012\r", "!010008F0\r"},
      {"%01010002F0\r", "?01\r"},  // code 02 (from a rate of 0) is no rate
      {"%01010009F0\r", "?01\r"},
      {"%01050006F0\r", "?01\r"},  // address 5 is taken
      {"%01020006F0\r", "!02\r"},  // moves to address 2
      {"$012\r", ""},
      {"$022\r", "!020006F0\r"},
      {"#023\r", "!02\r"},
      {"#024\r", "?02\r"},
  };
  for (const auto& c : cases) EXPECT_EQ(bus.Handle(c.command).Bytes(), c.answer) << c.command;
  auto* module = bus.Data7810(2);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(bus.Data7810(1), nullptr);
  EXPECT_EQ(bus.Recent(1)[0].address, 2);
  EXPECT_EQ(module->registers().digitalOut, 3);
  EXPECT_EQ(module->registers().outputWrites, 1u);
}

TEST(SimData7210, SegmentsDecodeToText) {
  struct {
    const char* twelve;
    const char* shown;
  } cases[] = {
      {"FFFFFFF92492", "12.5"},
      {"FFFFFFBF1292", "-5.5"},
      {"FFFFFFFFFFF8", "7"},
      {"B099AF928280", "34?568"},  // "AF" lights no known digit
      {"FFA4B019C0F8", "234.07"},
      {"241979120200", "2.4.1.5.6.8."},
      {"FFFFFFFFFFFF", ""},
      {"C0FFFFFFFFC0", "0    0"},
      {"FFFF\x00\x00"
       "F9F9C0",
       "?110"},  // two zero bytes for an unknown character
  };
  for (const auto& c : cases) EXPECT_EQ(sim::DecodeSegments(std::string(c.twelve, 12)), c.shown) << c.twelve;
}

TEST(SimData7210, DisplaysShowWhatTheyAreSent) {
  sim::Bus bus;
  bus.Add("Data7210", 2);
  bus.Add("Data7210", 0x0A);
  EXPECT_EQ(bus.Handle("#02FFFFFFF92492\r").Bytes(), "!02\r");
  EXPECT_EQ(bus.Handle("#0AFFFFFFBF1292\r").Bytes(), "!0A\r");
  EXPECT_EQ(bus.Display(2)->Shown(), "12.5");
  EXPECT_EQ(bus.Display(0x0A)->Shown(), "-5.5");
  EXPECT_EQ(bus.Display(0x0A)->registers().segments, "FFFFFFBF1292");
  EXPECT_EQ(bus.Handle("#02FFFF\r").Bytes(), "?02\r");
  EXPECT_EQ(bus.Display(2)->Shown(), "12.5");
  EXPECT_EQ(bus.Display(2)->registers().writes, 1u);

  bus.Display(2)->Update([](sim::Data7210Registers& r) { r.formatCode = 0xF0; });
  EXPECT_EQ(bus.Handle("$022\r").Bytes(), "!020006F0\r");
  EXPECT_EQ(bus.Handle("$02F\r").Bytes(), "!02A1.00\r");
  EXPECT_EQ(bus.Handle("$02M\r").Bytes(), "!02Data7210\r");
  EXPECT_EQ(bus.Handle("@02DI\r").Bytes(), "?02\r");
}

}  // namespace
