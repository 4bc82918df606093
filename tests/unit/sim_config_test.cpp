// Modules of a bus from the TOML section, and the messages a person gets
// for a mistake in it.
#include <gtest/gtest.h>

#include <string>

#include "sim/sim_config.h"

namespace {

TEST(SimConfig, BuildsModulesWithValuesAndFaults) {
  const char* text = R"(
[[module]]
address = 1
type = "velk4017"
checksum = true
values = { ai = [1.5, { sine = [5.0, 2.0], period_s = 4 }], mp = 0x0F, cjc = 21.5 }

[[module]]
address = 0x1A
type = "Velk4080"
name = "CNT-A"
fault = "delay=200,chunks=3/20"
values = { counter = [5, 6], count_rate = [10.0, 0], counting = [true, false], gate_mode = 2 }

[[module]]
address = 3
type = "Data7810"
fault = { always_busy = true, stray = "00FF" }
[module.values]
di = 3
temp = [-25.0, { ramp = [0, 100] }, "invalid"]

[[module]]
address = 2
type = "Data7210"
version = "B2.00"
)";
  sim::Bus bus;
  std::string error;
  ASSERT_TRUE(sim::AddModulesFromTomlText(text, "sim.toml", &bus, &error)) << error;
  ASSERT_EQ(bus.Modules().size(), 4u);

  sim::VelkModule* ai = bus.Velk(1);
  ASSERT_NE(ai, nullptr);
  EXPECT_EQ(ai->typeName(), "Velk4017");
  EXPECT_TRUE(ai->checksum());
  const sim::VelkRegisters r = ai->registers();
  EXPECT_DOUBLE_EQ(r.analogIn[0].At(12345), 1.5);
  EXPECT_EQ(r.analogIn[1].kind, sim::ValueSource::Kind::kSine);
  EXPECT_DOUBLE_EQ(r.analogIn[1].At(1000), 7.0);  // a quarter period: the crest
  EXPECT_EQ(r.multiplexer, 0x0F);

  sim::VelkModule* counter = bus.Velk(0x1A);
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(counter->registers().name, "CNT-A");
  EXPECT_EQ(counter->registers().counter[1], 6u);
  EXPECT_EQ(counter->registers().gateMode, '2');
  EXPECT_EQ(counter->faults().Describe(), "delay=200,chunks=3/20");

  sim::Data7810Module* d7810 = bus.Data7810(3);
  ASSERT_NE(d7810, nullptr);
  EXPECT_TRUE(d7810->faults().alwaysBusy);
  EXPECT_EQ(d7810->faults().strayBytes, std::string("\x00\xFF", 2));
  EXPECT_EQ(d7810->registers().digitalIn, 3);
  EXPECT_FALSE(d7810->registers().temperatureValid[2]);
  EXPECT_DOUBLE_EQ(d7810->registers().temperature[1].At(5000), 50.0);

  ASSERT_NE(bus.Display(2), nullptr);
  EXPECT_EQ(bus.Handle("$02F\r").Bytes(), "!02B2.00\r");
}

TEST(SimConfig, MistakesNameTheLine) {
  struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"[[module]]\naddress = 1\ntype = \"Velk4099\"\n", "sim.toml:3: unknown module type \"Velk4099\""},
      {"[[module]]\naddress = 256\ntype = \"Velk4017\"\n", "sim.toml:2: address must be 0..255"},
      {"[[module]]\ntype = \"Velk4017\"\n", "sim.toml:1: a module needs an address"},
      {"[[module]]\naddress = 1\n", "sim.toml:1: a module needs a type"},
      {"[[module]]\naddress = 1\ntype = \"Velk4017\"\nadress = 2\n", "sim.toml:4: unknown key \"adress\""},
      {"[[module]]\naddress = 1\ntype = \"Velk4017\"\nvalues = { counter = [1, 2] }\n",
       "sim.toml:4: value \"counter\" does not apply to a Velk4017"},
      {"[[module]]\naddress = 1\ntype = \"Velk4011\"\nvalues = { ai = [1, 2] }\n",
       "sim.toml:4: ai has 2 entries; this module has 1"},
      {"[[module]]\naddress = 1\ntype = \"Velk4017\"\nvalues = { ai = [{ ramp = [1] }] }\n",
       "sim.toml:4: ramp and sine take two numbers"},
      {"[[module]]\naddress = 1\ntype = \"Velk4017\"\nfault = \"dely=5\"\n", "sim.toml:4: fault \"dely=5\": unknown"},
      {"[[module]]\naddress = 1\ntype = \"Velk4017\"\nfault = \"always_busy\"\n",
       "sim.toml:4: always_busy applies to a Data7810 only"},
      {"[[module]]\naddress = 1\ntype = \"Data7810\"\nchecksum = true\n",
       "sim.toml:3: Data7810 modules use no checksum"},
      {"[[module]]\naddress = 1\ntype = \"Velk4017\"\n[[module]]\naddress = 1\ntype = \"Velk4050\"\n",
       "sim.toml:5: address 1 (01) is already taken by a Velk4017"},
      {"module = 3\n", "sim.toml:1: module must be an array of tables"},
      {"[[module]\n", "sim.toml:1: "},
  };
  for (const auto& c : cases) {
    sim::Bus bus;
    std::string error;
    EXPECT_FALSE(sim::AddModulesFromTomlText(c.text, "sim.toml", &bus, &error)) << c.text;
    EXPECT_EQ(error.compare(0, strlen(c.message), c.message), 0) << error;
  }
}

TEST(SimConfig, NoModuleSectionAddsNothing) {
  sim::Bus bus;
  std::string error;
  EXPECT_TRUE(sim::AddModulesFromTomlText("[line]\nbaud = 9600\n", "sim.toml", &bus, &error)) << error;
  EXPECT_TRUE(bus.Modules().empty());
}

}  // namespace
