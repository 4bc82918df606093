// The "Velk" modules of the simulator, driven with command lines written by
// hand from the command tables, answered byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/encoding.h"
#include "sim/bus.h"

namespace {

using sim::VelkRegisters;

// `text` followed by its checksum and a carriage return.
std::string Sum(const std::string& text) {
  char pair[3] = {0, 0, 0};
  protocol::ByteToHex(pair, protocol::ChecksumOf(text.data(), text.size()));
  return text + pair + "\r";
}

struct Case {
  const char* type;
  std::function<void(VelkRegisters&)> setup;
  // Command lines and the exact answers, in order; "" for no answer.
  std::vector<std::pair<std::string, std::string>> exchange;
};

void Exchange(const std::vector<Case>& cases, bool checksum = false) {
  for (const Case& c : cases) {
    sim::Bus bus;
    sim::VelkModule* module = static_cast<sim::VelkModule*>(bus.Add(c.type, 1, checksum));
    ASSERT_NE(module, nullptr) << c.type;
    if (c.setup) module->Update(c.setup);
    for (const auto& [command, answer] : c.exchange)
      EXPECT_EQ(bus.Handle(command).Bytes(), answer) << c.type << " " << command;
  }
}

auto Ai(int channel, double value) {
  return [=](VelkRegisters& r) { r.analogIn[channel] = sim::ValueSource::Constant(value); };
}

TEST(SimVelkModule, Velk4011FamilyCommands) {
  Exchange({
      {"Velk4011", Ai(0, 5.123), {{"#01\r", ">+05.123\r"}}},
      {"Velk4011", Ai(0, -12.5), {{"#01\r", ">-12.500\r"}}},
      {"Velk4011", nullptr, {{"$010\r", "!01\r"}, {"$011\r", "!01\r"}}},
      {"Velk4012",
       [](VelkRegisters& r) {
         r.digitalOut = 0x5A;
         r.alarmMode = 'L';
       },
       {{"@01DI\r", "!01L5A00\r"}, {"@01DO3C\r", "!01\r"}, {"@01DI\r", "!01L3C00\r"}}},
      {"Velk4011",
       nullptr,
       {{"@01HI+05.000\r", "!01\r"},
        {"@01RH\r", "!01+05.000\r"},
        {"@01LO-01.500\r", "!01\r"},
        {"@01RL\r", "!01-01.500\r"}}},
      {"Velk4016",
       nullptr,
       {{"@01EAL\r", "!01\r"},
        {"@01DI\r", "!01L0000\r"},
        {"@01EAM\r", "!01\r"},
        {"@01DI\r", "!01M0000\r"},
        {"@01DA\r", "!01\r"},
        {"@01DI\r", "!0100000\r"}}},
      {"Velk4011",
       [](VelkRegisters& r) { r.eventCounter = 42; },
       {{"@01RE\r", "!0100042\r"}, {"@01CE\r", "!01\r"}, {"@01RE\r", "!0100000\r"}}},
      {"Velk4011",
       [](VelkRegisters& r) { r.coldJunction = sim::ValueSource::Constant(25.3); },
       {{"$013\r", "!01+25.300\r"}, {"$019+0012\r", "!01\r"}, {"$019-0007\r", "!01\r"}}},
      {"Velk4014D", nullptr, {{"$01M\r", "!014014D\r"}, {"$01F\r", "!01A1.00\r"}, {"$012\r", "!01000600\r"}}},
      // Unknown letters and fields that do not keep their fixed shape.
      {"Velk4011",
       nullptr,
       {{"$01X\r", "?01\r"}, {"@01HI+5.0\r", "?01\r"}, {"@01HI05.000\r", "?01\r"}, {"@01DOxy\r", "?01\r"}}},
  });
}

TEST(SimVelkModule, AlarmLimitsAndOffsetAreStored) {
  sim::Bus bus;
  sim::VelkModule* module = bus.Velk(0);
  ASSERT_EQ(module, nullptr);
  module = static_cast<sim::VelkModule*>(bus.Add("velk4011", 0x2A));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->typeName(), "Velk4011");
  bus.Handle("@2AHI+07.250\r");
  bus.Handle("$2A9-0007\r");
  bus.Handle("$2A0\r");
  const VelkRegisters r = module->registers();
  EXPECT_DOUBLE_EQ(r.alarmHigh, 7.25);
  EXPECT_EQ(r.cjcOffset, -7);
  EXPECT_EQ(r.calibrations, std::vector<std::string>{"SPANCAL"});
}

TEST(SimVelkModule, Velk4017FamilyCommands) {
  Exchange({
      {"Velk4017", Ai(5, -2.5), {{"#015\r", ">-02.500\r"}, {"#018\r", "?01\r"}, {"#01F\r", "?01\r"}}},
      {"Velk4018M",
       [](VelkRegisters& r) {
         for (int ch = 0; ch < 8; ++ch) r.analogIn[ch] = sim::ValueSource::Constant(ch);
       },
       {{"#01\r", ">+00.000+01.000+02.000+03.000+04.000+05.000+06.000+07.000\r"}}},
      {"Velk4017+", nullptr, {{"$016\r", "!01FF\r"}, {"$0155A\r", "!01\r"}, {"$016\r", "!015A\r"}}},
      {"Velk4019",
       [](VelkRegisters& r) { r.coldJunction = sim::ValueSource::Constant(-3.0); },
       {{"$013\r", "!01-03.000\r"}, {"$019+0100\r", "!01\r"}, {"$010\r", "!01\r"}}},
  });
}

TEST(SimVelkModule, Velk4021AndVelk4024Commands) {
  Exchange({
      {"Velk4021",
       nullptr,
       {{"#0105.500\r", ">\r"},
        {"$016\r", "!0105.500\r"},
        {"#01+5.500\r", "?01\r"},
        {"$010\r", "!01\r"},
        {"$013A5\r", "!01\r"}}},
      {"Velk4024",
       [](VelkRegisters& r) {
         r.digitalIn = 9;
         r.nc[2] = 0x3F;
       },
       {{"#01C1-02.500\r", ">\r"},
        {"$016C1\r", "!01-02.500\r"},
        {"$016C4\r", "?01\r"},
        {"$01I\r", "!0109\r"},
        {"$01NC2\r", "!013F\r"},
        {"$01OC0\r", "!0100\r"},
        {"#01SC3+01.250\r", ">\r"},
        {"$01DC3\r", "!01+01.250\r"},
        {"#01EC0+10.000\r", ">\r"},
        {"$01EC0\r", "!01+10.000\r"},
        {"$0137F\r", "!01\r"}}},
  });
}

TEST(SimVelkModule, DigitalModuleCommands) {
  const std::string bitWrite = Sum("#011301");  // the checksum travels even without checksums
  Exchange({
      {"Velk4051", [](VelkRegisters& r) { r.digitalIn = 0x1234; }, {{"$016\r", "!123400\r"}}},
      {"Velk4053", [](VelkRegisters& r) { r.digitalIn = 0xFFFF; }, {{"$016\r", "!FFFF00\r"}}},
      {"Velk4050",
       [](VelkRegisters& r) {
         r.digitalIn = 0xA5;
         r.digitalOut = 0x30;
       },
       {{"$016\r", "!30A500\r"},
        {bitWrite, ">\r"},
        {"$016\r", "!38A500\r"},
        {"#011300\r", "?01\r"},
        {Sum("#011300"), ">\r"},
        {"#0100FF\r", ">\r"},
        {"$016\r", "!FFA500\r"},
        {Sum("#011801"), "?01\r"}}},
      {"Velk4052", [](VelkRegisters& r) { r.digitalIn = 0xA5; }, {{"$016\r", "!A50000\r"}}},
      {"Velk4068", [](VelkRegisters& r) { r.digitalOut = 0x81; }, {{"$016\r", "!810000\r"}}},
  });
  EXPECT_EQ(bitWrite, "#01130149\r");
}

TEST(SimVelkModule, Velk4080Commands) {
  Exchange({{"Velk4080",
             [](VelkRegisters& r) {
               r.counter = {{0x12345678u, 7}};
               r.alarmEnable = 2;
               r.digitalOut = 3;
             },
             {{"#010\r", ">12345678\r"},    {"#011\r", ">00000007\r"},    {"#012\r", "?01\r"},
              {"$0130\r", "!01FFFFFFFF\r"}, {"$013100000010\r", "!01\r"}, {"$0131\r", "!0100000010\r"},
              {"$01B\r", "!010\r"},         {"$01B1\r", "!01\r"},         {"$01B\r", "!011\r"},
              {"$01A2\r", "!01\r"},         {"$01A\r", "!012\r"},         {"$01A3\r", "?01\r"},
              {"$0150\r", "!010\r"},        {"$01501\r", "!01\r"},        {"$0150\r", "!011\r"},
              {"@01P100000005\r", "!01\r"}, {"@01G1\r", "!0100000005\r"}, {"$0161\r", "!01\r"},
              {"#011\r", ">00000005\r"},    {"@01DI\r", "!0120300\r"},    {"$01EA0\r", "!01\r"},
              {"@01DI\r", "!0130300\r"},    {"$01DA1\r", "!01\r"},        {"@01DI\r", "!0110300\r"},
              {"@01PA000000FF\r", "!01\r"}, {"@01SA00000100\r", "!01\r"}, {"@01RP\r", "!01000000FF\r"},
              {"@01RA\r", "!0100000100\r"}, {"@01DO01\r", "!01\r"},       {"@01DI\r", "!0110100\r"}}}});
}

TEST(SimVelkModule, Velk4080CountsWhileStarted) {
  sim::Bus bus;
  auto* module = static_cast<sim::VelkModule*>(bus.Add("Velk4080D", 3));
  ASSERT_NE(module, nullptr);
  module->Update([](VelkRegisters& r) {
    r.countRate = {{1000.0, 1000.0}};
    r.counting = {{true, false}};
  });
  sim::LineContext context;
  std::string answer;
  std::string note;
  context.nowMs = 0;
  module->Answer("#030", context, &answer, &note);
  context.nowMs = 250;
  module->Answer("#030", context, &answer, &note);
  EXPECT_EQ(answer, ">000000FA\r");  // 250 counts in 250 ms
  module->Answer("#031", context, &answer, &note);
  EXPECT_EQ(answer, ">00000000\r");  // stopped
}

TEST(SimVelkModule, Velk4015Commands) {
  Exchange({{"Velk4015",
             [](VelkRegisters& r) {
               r.rawInput = 1234;
               r.analogIn[2] = sim::ValueSource::Constant(12.345);
               r.diagnostic = 0x81;
             },
             {{"$01F\r", "!01100\r"},
              {"$01M\r", "!014015\r"},
              {"#01\r", ">+01234\r"},
              {"#012\r", ">+12.345\r"},
              {"#016\r", "?01\r"},
              {"$016\r", "!0101\r"},
              {"$0155A\r", "!01\r"},
              {"$016\r", "!015A\r"},
              {"$014\r", "!010+00000\r"},
              {"#**\r", ""},
              {"$014\r", "!011+01234\r"},
              {"$014\r", "!010+01234\r"},
              {"$01B\r", "!0181\r"},
              {"$010C2\r", "!01\r"},
              {"$011C0\r", "!01\r"},
              {"$01S0\r", "!01\r"},
              {"$01S1\r", "!01\r"},
              {"$01\r", "?01\r"}}}});
}

TEST(SimVelkModule, Velk4015RecordsCalibrations) {
  sim::Bus bus;
  auto* module = static_cast<sim::VelkModule*>(bus.Add("Velk4015", 1));
  for (const char* command : {"$010C2\r", "$011C0\r", "$01S0\r", "$01S1\r", "$010C9\r"}) bus.Handle(command);
  EXPECT_EQ(module->registers().calibrations, (std::vector<std::string>{"SPCALI 3", "OFCALI 1", "INCALI", "DEFCALI"}));
}

TEST(SimVelkModule, ChecksumModulesVerifyAndSign) {
  Exchange(
      {
          {"Velk4011", Ai(0, 5.123), {{"#0184\r", Sum(">+05.123")}, {"#0185\r", ""}, {"#01\r", ""}}},
          {"Velk4017",
           nullptr,
           {{"$01MD2\r", Sum("!014017")},
            {Sum("$01X"), Sum("?01")},
            // Lower-case checksum digits are not what a master writes.
            {"$01Md2\r", ""}}},
          // The alarm disable is taken with or without its checksum.
          {"Velk4011", nullptr, {{"@01DA\r", Sum("!01")}, {Sum("@01DA"), Sum("!01")}}},
          {"Velk4050", nullptr, {{"#01130149\r", Sum(">")}, {"#011301\r", ""}}},
          {"Velk4015", nullptr, {{Sum("$01"), Sum("?01")}}},
      },
      true);
}

TEST(SimVelkModule, ChecksumBroadcastSamples) {
  sim::Bus bus;
  auto* module = static_cast<sim::VelkModule*>(bus.Add("Velk4015", 5, true));
  module->Update([](VelkRegisters& r) { r.rawInput = -5; });
  EXPECT_TRUE(bus.Handle("#**77\r").empty());
  EXPECT_TRUE(module->registers().syncFresh);
  EXPECT_EQ(module->registers().syncData, -5);
}

TEST(SimVelkModule, UnknownTypesAreRefused) {
  std::string error;
  EXPECT_EQ(sim::MakeModule("Velk4099", 1, false, &error), nullptr);
  EXPECT_NE(error.find("Velk4099"), std::string::npos);
  EXPECT_EQ(sim::MakeModule("Data7810", 1, true, &error), nullptr);
  EXPECT_NE(error.find("no checksum"), std::string::npos);
  EXPECT_EQ(sim::KnownModuleTypes().size(), 26u);
}

}  // namespace
