// velkhost against simulated modules over a pseudo-terminal: a line of every
// module family polled once and compared field by field, failures shown as
// failures, writes that change the modules, the packet plan, probe and scan.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "child_process.h"

namespace {

using nlohmann::json;
using tooltest::ProgramResult;
using tooltest::RunProgram;
using tooltest::TempDir;

ProgramResult Velkhost(std::vector<std::string> args, int timeoutMs = 60000) {
  args.insert(args.begin(), VELKHOST_PATH);
  return RunProgram(args, timeoutMs);
}

std::vector<json> JsonLines(const std::string& out) {
  std::vector<json> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(json::parse(line));
  return lines;
}

std::map<std::string, json> TagsByName(const json& cycle) {
  std::map<std::string, json> tags;
  for (const json& tag : cycle.at("tags")) tags[tag.at("name").get<std::string>()] = tag;
  return tags;
}

// Devices and tags of every family, each tag followed by the value the
// simulated module below must produce through the driver.
struct Device {
  const char* name;
  const char* type;
  const char* address;
  const char* simulation;  // the device's [simulation.NAME] table body
};

const Device kDevices[] = {
    {"v4011", "Velk4011", "1",
     "values = { ai = [72.5], cjc = 24.25, do = 5, event_counter = 12, alarm = \"latched\" }"},
    {"v4017", "Velk4017", "2", "values = { ai = [1.5, 0, 0, 0, 0, 0, 0, -3.25], mp = 90 }"},
    {"v4018", "Velk4018", "12.1", "values = { ai = [0, 0, 0, 9.875], cjc = 21.5 }"},
    {"v4021", "Velk4021", "3.1", "values = { ao = [12.5] }"},
    {"v4024", "Velk4024", "4",
     "values = { ao = [0, 8.0, 0, 0], di = 5, nc = [0, 0, 63, 0], startup_out = [1.5, 0, 0, 0], emergency_out = "
     "[0, 0, 0, -2.5] }"},
    {"v4050", "Velk4050", "5", "values = { do = 0x0A, di = 0x81 }"},
    {"v4051", "Velk4051", "6", "values = { di = 0x1234 }"},
    {"v4055", "Velk4055", "7", "values = { di = 0xA5 }"},
    {"v4080", "Velk4080", "8",
     "values = { counter = [0x12345678, 0], max_counter = [0, 1000], input_mode = 1, gate_mode = 1, alarm_enable = "
     "2, do = 3 }"},
    {"v4015", "Velk4015", "9",
     "name = \"4015\"\nversion = \"106\"\nvalues = { ai = [0, -1.25, 0, 0, 0, 0], raw = "
     "-1234, multiplier = 4, diagnostic = 0x21 }"},
    {"d7810", "Data7810", "10",
     "name = \"OVEN7810\"\nversion = \"A1.06\"\nvalues = { temp = [85.5, 0, 0, -12.25, 0, "
     "0, 0, 0], di = 2 }"},
    {"d7210", "Data7210", "11", "name = \"PANEL11\"\nversion = \"B2.10\""},
};

struct Expected {
  const char* device;
  const char* address;
  const char* type;
  json value;
  bool firstInterfaceToo;  // the IDriver path decodes it the same way
};

const std::vector<std::pair<std::string, Expected>>& ExpectedTags() {
  static const std::vector<std::pair<std::string, Expected>> tags = {
      {"boiler", {"v4011", "AI", "float", 72.5, true}},
      {"boiler_cjc", {"v4011", "CJCVAL", "float", 24.25, true}},
      {"boiler_do", {"v4011", "DO", "byte", 5, true}},
      {"boiler_ec", {"v4011", "EC", "word", 12, true}},
      {"boiler_alarm", {"v4011", "AEA", "bit", 1, true}},
      {"ai0", {"v4017", "AI0", "float", 1.5, true}},
      {"ai7", {"v4017", "AI7", "float", -3.25, true}},
      {"mp", {"v4017", "MP", "byte", 90, true}},
      {"cjc", {"v4018", "CJCVAL", "float", 21.5, true}},
      {"ai3_plain", {"v4018", "AI3", "float", 9.875, true}},
      {"ao", {"v4021", "AO", "float", 12.5, true}},
      {"ao1", {"v4024", "AO1", "float", 8.0, true}},
      {"di4024", {"v4024", "DI", "byte", 5, true}},
      {"nc2", {"v4024", "NC2", "short", 63, true}},
      {"dc0", {"v4024", "DC0", "float", 1.5, true}},
      {"ec3", {"v4024", "EC3", "float", -2.5, true}},
      {"do_byte", {"v4050", "DO0", "byte", 10, true}},
      {"do3", {"v4050", "DO3", "bit", 1, true}},
      {"do2", {"v4050", "DO2", "bit", 0, true}},
      {"di_byte", {"v4050", "DI0", "byte", 129, true}},
      {"di7", {"v4050", "DI7", "bit", 1, true}},
      {"word", {"v4051", "DI0", "word", 0x1234, true}},
      {"low_byte", {"v4051", "DI0", "byte", 0x34, true}},
      {"high_byte", {"v4051", "DI1", "byte", 0x12, true}},
      {"bit2", {"v4051", "DI2", "bit", 1, true}},
      {"bit0", {"v4051", "DI0", "bit", 0, true}},
      {"door0", {"v4055", "DI0", "bit", 1, true}},
      {"door1", {"v4055", "DI1", "bit", 0, true}},
      {"door2", {"v4055", "DI2", "bit", 1, true}},
      {"door5", {"v4055", "DI5", "bit", 1, true}},
      {"door7", {"v4055", "DI7", "bit", 1, true}},
      {"count_high", {"v4080", "PCVH0", "word", 0x1234, true}},
      {"count_low", {"v4080", "PCVL0", "word", 0x5678, true}},
      {"max1", {"v4080", "MCV1", "long", 1000, true}},
      {"input_mode", {"v4080", "ISM", "bit", 1, true}},
      {"alarm0", {"v4080", "AEA0", "bit", 0, true}},
      {"alarm1", {"v4080", "AEA1", "bit", 1, true}},
      {"do4080", {"v4080", "DO", "byte", 3, true}},
      {"module", {"v4015", "MODULE", "short", 4015, true}},
      {"version", {"v4015", "VERSION", "short", 106, true}},
      {"nvalue2", {"v4015", "NVALUE2", "float", -1.25, true}},
      {"raw", {"v4015", "ADATAIN", "short", -1234, true}},
      {"multiplier", {"v4015", "MULTIP", "byte", 4, true}},
      {"diagnostic", {"v4015", "CDIAGNO", "byte", 0x21, true}},
      {"thermo_name", {"d7810", "Name", "string", "OVEN7810", true}},
      {"thermo_version", {"d7810", "Version", "string", "A1.06", true}},
      {"thermo_addr", {"d7810", "Addr", "byte", 10, true}},
      {"thermo_baud", {"d7810", "Baud", "word", 9600, true}},
      {"temp0", {"d7810", "Temp0", "float", 85.5, true}},
      {"temp3", {"d7810", "Temp3", "float", -12.25, true}},
      {"temp5", {"d7810", "Temp5", "float", 0.0, true}},
      {"thermo_di1", {"d7810", "DI1", "bit", 1, true}},
      {"thermo_di0", {"d7810", "DI0", "bit", 0, true}},
      {"panel_name", {"d7210", "MdNameM11", "string", "PANEL11", true}},
      {"panel_version", {"d7210", "MdVerF11", "string", "B2.10", true}},
      // The display's fixed texts come in code page 936 and are shown as UTF-8.
      {"panel_config",
       {"d7210", "CfgStaT11", "string", "\u6a21\u5757\u5730\u5740:0B \u6ce2\u7279\u7387:9600 \u7d2f\u52a0\u6821\u9a8c",
        true}},
  };
  return tags;
}

std::string EveryFamilyLine() {
  std::string text = "[port]\ntimeout_ms = 500\npoll_delay_ms = 5\n";
  for (const Device& d : kDevices)
    text += std::string("\n[[device]]\nname = \"") + d.name + "\"\ntype = \"" + d.type + "\"\naddress = \"" +
            d.address + "\"\n";
  for (const auto& [name, e] : ExpectedTags())
    text += "\n[[tag]]\nname = \"" + name + "\"\ndevice = \"" + e.device + "\"\naddress = \"" + e.address +
            "\"\ntype = \"" + e.type + "\"\n";
  for (const Device& d : kDevices) text += std::string("\n[simulation.") + d.name + "]\n" + d.simulation + "\n";
  return text;
}

void ExpectTagsAsSimulated(const json& cycle, bool firstInterface) {
  const std::map<std::string, json> tags = TagsByName(cycle);
  for (const auto& [name, e] : ExpectedTags()) {
    SCOPED_TRACE(name);
    if (firstInterface && !e.firstInterfaceToo) continue;
    ASSERT_EQ(tags.count(name), 1u);
    const json& tag = tags.at(name);
    EXPECT_EQ(tag.at("device"), e.device);
    EXPECT_EQ(tag.at("address"), e.address);
    EXPECT_EQ(tag.at("type"), e.type);
    EXPECT_EQ(tag.at("good"), true);
    EXPECT_EQ(tag.at("quality"), 192);
    EXPECT_TRUE(tag.at("reason").is_null());
    EXPECT_TRUE(
        std::regex_match(tag.at("ts").get<std::string>(),
                         std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}Z")))
        << tag.at("ts");
    EXPECT_EQ(tag.at("value"), e.value);
  }
}

TEST(VelkhostPoll, EveryFamilyPollsOnceAsSimulated) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  const ProgramResult r = Velkhost({"poll", file, "--simulate", "--once", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  const std::vector<json> cycles = JsonLines(r.out);
  ASSERT_EQ(cycles.size(), 1u);
  EXPECT_EQ(cycles[0].at("cycle"), 1);
  ExpectTagsAsSimulated(cycles[0], false);
  for (const json& packet : cycles[0].at("packets")) EXPECT_EQ(packet.at("ok"), true) << packet;
}

TEST(VelkhostPoll, FirstInterfaceGivesTheSameValues) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  const ProgramResult r = Velkhost({"poll", file, "--simulate", "--once", "--json", "--v1"});
  const std::vector<json> cycles = JsonLines(r.out);
  ASSERT_EQ(cycles.size(), 1u) << r.err;
  ExpectTagsAsSimulated(cycles[0], true);
}

TEST(VelkhostPoll, PacketsGroupTheTagsOfOneCommand) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  const ProgramResult r = Velkhost({"poll", file, "--simulate", "--once", "--json"});
  const std::vector<json> cycles = JsonLines(r.out);
  ASSERT_EQ(cycles.size(), 1u) << r.err;
  // Each tag names its packet; packets list their tags.
  std::map<std::string, int> packetOf;
  for (const json& tag : cycles[0].at("tags")) packetOf[tag.at("name")] = tag.at("packet");
  EXPECT_EQ(packetOf["door0"], packetOf["door7"]) << "eight Velk4055 inputs share one answer";
  EXPECT_EQ(packetOf["temp0"], packetOf["temp5"]) << "Data7810 temperatures share one answer";
  EXPECT_NE(packetOf["thermo_di0"], packetOf["thermo_di1"]);
  EXPECT_NE(packetOf["ai0"], packetOf["ai7"]);
  for (const json& packet : cycles[0].at("packets"))
    if (packet.at("index") == packetOf["door0"]) { EXPECT_EQ(packet.at("channels"), json({0, 7})); }
}

TEST(VelkhostPoll, FailedPacketsShowAsFailedNeverAsValues) {
  TempDir dir;
  const std::string file =
      dir.Write("line.toml",
                "[port]\ntimeout_ms = 150\n"
                "[[device]]\nname = \"good\"\ntype = \"Velk4011\"\naddress = \"1\"\n"
                "[[device]]\nname = \"quiet\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
                "[[device]]\nname = \"panel\"\ntype = \"Data7210\"\naddress = \"3\"\n"
                "[[device]]\nname = \"thermo\"\ntype = \"Data7810\"\naddress = \"4\"\n"
                "[[tag]]\nname = \"d\"\ndevice = \"thermo\"\naddress = \"DO1\"\ntype = \"bit\"\n"
                "[[tag]]\nname = \"e\"\ndevice = \"thermo\"\naddress = \"Temp2\"\ntype = \"float\"\n"
                "[simulation.thermo]\nvalues = { temp = [0, 0, \"invalid\"] }\n"
                "[[tag]]\nname = \"a\"\ndevice = \"good\"\naddress = \"AI\"\ntype = \"float\"\n"
                "[[tag]]\nname = \"b\"\ndevice = \"quiet\"\naddress = \"AI1\"\ntype = \"float\"\n"
                "[[tag]]\nname = \"c\"\ndevice = \"panel\"\naddress = \"MdNameM3\"\ntype = \"string\"\n"
                "[simulation.good]\nvalues = { ai = [4.5] }\n"
                "[simulation.quiet]\nfault = \"silent\"\nvalues = { ai = [0, 7.0] }\n"
                "[simulation.panel]\nfault = \"refuse\"\n");
  const ProgramResult r = Velkhost({"poll", file, "--simulate", "--cycles", "2", "--interval-ms", "0", "--json"});
  EXPECT_EQ(r.exitCode, 1);
  const std::vector<json> cycles = JsonLines(r.out);
  ASSERT_EQ(cycles.size(), 2u) << r.err;
  for (const json& cycle : cycles) {
    const std::map<std::string, json> tags = TagsByName(cycle);
    EXPECT_EQ(tags.at("a").at("value"), 4.5);
    EXPECT_EQ(tags.at("a").at("good"), true);
    EXPECT_EQ(tags.at("b").at("good"), false);
    EXPECT_TRUE(tags.at("b").at("value").is_null());
    EXPECT_EQ(tags.at("b").at("quality"), 0);
    // A display that refuses fails its packet: no value, shown as refused.
    EXPECT_EQ(tags.at("c").at("good"), false);
    EXPECT_TRUE(tags.at("c").at("value").is_null());
    EXPECT_EQ(tags.at("c").at("quality"), 0);
    EXPECT_EQ(tags.at("c").at("state"), "refused");
    EXPECT_EQ(tags.at("b").at("state"), "failed");
    // The driver completes a Data7810 output read without asking the module
    // and stores nothing: that is no value, not a zero.
    EXPECT_EQ(tags.at("d").at("good"), false);
    EXPECT_TRUE(tags.at("d").at("value").is_null());
    EXPECT_EQ(tags.at("d").at("state"), "no value");
    // A channel without a valid reading: bad, never a 0.0 taken for good.
    EXPECT_EQ(tags.at("e").at("good"), false);
    EXPECT_TRUE(tags.at("e").at("value").is_null());
    EXPECT_EQ(tags.at("e").at("quality"), 16);
    EXPECT_EQ(tags.at("e").at("state"), "bad");
  }
  EXPECT_NE(r.err.find("device 'quiet' (Velk4017 at 2): 1 of 1 packet failed: AI1"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("device 'panel' (Data7210 at 3): 1 of 1 packet failed: MdNameM (refused)"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("device 'thermo' (Data7810 at 4): 2 of 2 packets failed: DO without a value, Temp bad"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("'good'"), std::string::npos) << r.err;
}

TEST(VelkhostPoll, PlainLinesWhenNotATerminal) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  const ProgramResult r = Velkhost({"poll", file, "--simulate", "--cycles", "2", "--interval-ms", "0"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "no terminal control codes in a pipe";
  EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\\n)cycle 1\\n")));
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\ncycle 2\\n")));
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\n  ai7 +v4017 +AI7 +float +-3\\.25 +quality 192 ")));
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\n  panel_name +d7210 +MdNameM11 +string +\"PANEL11\"")));
  // Columns are aligned by display width: a name in UTF-8 pads as many
  // columns as one in ASCII, in the tags and in the totals (in UTC).
  const std::string utf8 =
      dir.Write("utf8.toml",
                "[[device]]\nname = \"größe\"\ntype = \"Velk4017\"\naddress = \"3\"\n"
                "[[device]]\nname = \"kessel\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
                "[[tag]]\nname = \"température\"\ndevice = \"größe\"\naddress = \"AI1\"\ntype = \"float\"\n"
                "[[tag]]\nname = \"temperature\"\ndevice = \"kessel\"\naddress = \"AI1\"\ntype = \"float\"\n");
  const ProgramResult u = Velkhost({"poll", utf8, "--simulate", "--once"});
  ASSERT_EQ(u.exitCode, 0) << u.err;
  EXPECT_NE(u.out.find("  température        größe        AI1"), std::string::npos) << u.out;
  EXPECT_NE(u.out.find("  temperature        kessel       AI1"), std::string::npos) << u.out;
  EXPECT_TRUE(std::regex_search(u.err, std::regex("(^|\\n)größe {19}1 {8}1  20\\d\\d-\\d\\d-\\d\\dT[0-9:.]+Z -")))
      << u.err;
}

TEST(VelkhostPoll, SimulationSectionErrorsNameTheirLine) {
  TempDir dir;
  const std::string line =
      "[[device]]\nname = \"a\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
      "[[tag]]\nname = \"t\"\ndevice = \"a\"\naddress = \"AI0\"\ntype = \"float\"\n";
  const struct {
    const char* simulation;
    const char* expected;
  } cases[] = {
      {"[simulation.a]\nvalues = { ai = \"x\" }\n", ":11: ai must be an array"},
      {"[simulation.b]\nname = \"x\"\n", ":10: [simulation.b] names no device of the line"},
      {"[simulation.a]\naddress = 5\n", ":11: 'address' of device 'a' comes from its [[device]] entry"},
      // What the line gives a device stands at its [[device]] entry's line.
      {"[[device]]\nname = \"b\"\ntype = \"Velk4017\"\naddress = \"2\"\n",
       ":10: device 'b': address 2 (02) is already taken by a Velk4017"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.simulation);
    const std::string file = dir.Write("line.toml", line + c.simulation);
    const ProgramResult r = Velkhost({"poll", file, "--simulate", "--once"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(file + c.expected), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// The README's main job, as a user types it.
TEST(VelkhostPoll, ExampleLinePollsWithTheSimulator) {
  const ProgramResult r = Velkhost({"poll", std::string(VELK_SOURCE_DIR) + "/examples/line.toml", "--simulate",
                                    "--cycles", "2", "--interval-ms", "100", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<json> cycles = JsonLines(r.out);
  ASSERT_EQ(cycles.size(), 2u) << r.err;
  for (const json& tag : cycles[1].at("tags")) EXPECT_EQ(tag.at("good"), true) << tag;
}

// The poll delay reaches the driver through a DISPLAY register, as from the
// host: every exchange then waits that long before it looks for the answer.
TEST(VelkhostPoll, PollDelayIsWrittenThroughDisplay) {
  TempDir dir;
  const std::string devices =
      "[[device]]\nname = \"ai\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
      "[[tag]]\nname = \"a\"\ndevice = \"ai\"\naddress = \"AI0\"\ntype = \"float\"\n";
  const std::string slow = dir.Write("slow.toml", "[port]\npoll_delay_ms = 300\n" + devices);
  ProgramResult r = Velkhost({"poll", slow, "--simulate", "--once", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_GE(json::parse(r.out).at("packets")[0].at("ms").get<double>(), 300.0);
  const std::string fast = dir.Write("fast.toml", "[port]\npoll_delay_ms = 0\n" + devices);
  r = Velkhost({"poll", fast, "--simulate", "--once", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_LT(json::parse(r.out).at("packets")[0].at("ms").get<double>(), 300.0);
}

TEST(VelkhostPoll, PollDelayWithoutAnyDisplayRegisterIsAWarning) {
  TempDir dir;
  const std::string file = dir.Write("line.toml",
                                     "[port]\npoll_delay_ms = 50\n"
                                     "[[device]]\nname = \"t\"\ntype = \"Data7810\"\naddress = \"10\"\n"
                                     "[[tag]]\nname = \"in\"\ndevice = \"t\"\naddress = \"DI0\"\ntype = \"bit\"\n");
  const ProgramResult r = Velkhost({"poll", file, "--simulate", "--once", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("warning: poll_delay_ms not applied: no device of the line has a DISPLAY register"),
            std::string::npos)
      << r.err;
}

TEST(VelkhostPoll, DisplayTagOfAnotherAddressIsAWarning) {
  TempDir dir;
  const std::string file = dir.Write("line.toml",
                                     "[[device]]\nname = \"p\"\ntype = \"Data7210\"\naddress = \"3\"\n"
                                     "[[tag]]\nname = \"n\"\ndevice = \"p\"\naddress = \"MdNameM4\"\ntype = "
                                     "\"string\"\n");
  const ProgramResult r = Velkhost({"plan", file});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find(file + ":5: warning: tag 'n' addresses display 4 (its channel), while device 'p' has address 3"),
            std::string::npos)
      << r.err;
}

TEST(VelkhostWrite, WriteChangesTheModuleAndAReadShowsIt) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  struct Case {
    const char* tag;
    const char* value;
    const char* readBack;
  } cases[] = {
      {"do3", "0", "0"},      {"do2", "1", "1"},        {"do_byte", "0x3C", "60"},
      {"ao", "7.25", "7.25"}, {"ao1", "-2.5", "-2.5"},  {"boiler_do", "33", "33"},
      {"mp", "0x11", "17"},   {"max1", "4096", "4096"}, {"multiplier", "9", "9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    const ProgramResult r = Velkhost({"write", file, c.tag, c.value, "--simulate", "--read-back"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("wrote ") + c.value + " to " + c.tag), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string("read back ") + c.tag + " = " + c.readBack + "\n"), std::string::npos) << r.out;
  }
}

TEST(VelkhostWrite, RejectsValuesOutsideTheTagsType) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  struct Case {
    const char* tag;
    const char* value;
    const char* expected;
  } cases[] = {
      {"do3", "2", "a bit takes 0 or 1"},
      {"do_byte", "256", "a byte takes 0 to 255"},
      {"ao", "twelve", "a float takes a decimal number"},
      {"thermo_name", "x", "no module register takes a written value of this type"},
      {"nosuchtag", "1", "has no tag 'nosuchtag'"},
      {"do33", "1", "has no tag 'do33'; did you mean 'do3'?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    const ProgramResult r = Velkhost({"write", file, c.tag, c.value, "--simulate"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
  }
}

TEST(VelkhostWrite, ReadOnlyRegisterFailsWithAReason) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", EveryFamilyLine());
  const ProgramResult r = Velkhost({"write", file, "ai0", "1.0", "--simulate"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("tag 'ai0' cannot be written: register AI of Velk4017 is read-only"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("does not fit"), std::string::npos) << r.err;
}

TEST(VelkhostProbe, AnsweringSilentAndUnknownDevices) {
  TempDir dir;
  const std::string file = dir.Write("line.toml",
                                     "[port]\ntimeout_ms = 150\n"
                                     "[[device]]\nname = \"strain\"\ntype = \"Velk4015\"\naddress = \"9\"\n"
                                     "[[device]]\nname = \"thermo\"\ntype = \"Data7810\"\naddress = \"10\"\n"
                                     "[[device]]\nname = \"quiet\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
                                     "[[device]]\nname = \"panel\"\ntype = \"Data7210\"\naddress = \"11\"\n"
                                     "[simulation.strain]\nname = \"4015\"\n"
                                     "[simulation.thermo]\nname = \"OVEN7810\"\n"
                                     "[simulation.quiet]\nfault = \"silent\"\n");
  ProgramResult r = Velkhost({"probe", file, "strain", "--simulate"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "device 'strain' (Velk4015 at address 9) answered\n  name: 4015\n");
  r = Velkhost({"probe", file, "thermo", "--simulate"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "device 'thermo' (Data7810 at address 10) answered\n  name: OVEN7810\n");
  r = Velkhost({"probe", file, "quiet", "--simulate"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("device 'quiet' (Velk4017 at address 2) did not answer within 150 ms"), std::string::npos)
      << r.err;
  // The driver's display probe asks address 02: velkhost says so, and how
  // to check this display instead.
  r = Velkhost({"probe", file, "panel", "--simulate"});
  EXPECT_NE(r.err.find("probes a Data7210 at address 02, not at this device's address 11"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("MdNameM"), std::string::npos) << r.err;
  r = Velkhost({"probe", file, "nobody", "--simulate"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("has no device 'nobody' (devices: strain, thermo, quiet, panel)"), std::string::npos) << r.err;
}

TEST(VelkhostScan, FindsExactlyTheSimulatedAddresses) {
  TempDir dir;
  const std::string file = dir.Write("line.toml",
                                     "[[device]]\nname = \"a\"\ntype = \"Velk4017\"\naddress = \"3\"\n"
                                     "[simulation.a]\nname = \"4017\"\n"
                                     "[[device]]\nname = \"b\"\ntype = \"Velk4050\"\naddress = \"7.1\"\n"
                                     "[[device]]\nname = \"c\"\ntype = \"Velk4015\"\naddress = \"12\"\n"
                                     "[simulation.c]\nname = \"4015\"\n"
                                     "[[simulation.module]]\naddress = 30\ntype = \"Velk4017\"\nname = \"4017\"\n"
                                     "[[simulation.module]]\naddress = 40\ntype = \"Velk4017\"\n");
  // Every "Velk" module answers "$" AA "M" with its model, so the scan names
  // every module it finds; 40 lies outside the range.
  const ProgramResult r = Velkhost(
      {"scan", file, "--simulate", "--type", "Velk4015", "--from", "0", "--to", "35", "--timeout-ms", "150", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json result = json::parse(r.out);
  EXPECT_EQ(result.at("complete"), true);
  std::vector<int> addresses;
  for (const json& found : result.at("found")) addresses.push_back(found.at("address"));
  EXPECT_EQ(addresses, (std::vector<int>{3, 7, 12, 30}));
  ASSERT_EQ(result.at("found").size(), 4u);
  EXPECT_EQ(result.at("found")[0].at("name"), "4017");
  EXPECT_EQ(result.at("found")[2].at("name"), "4015");
  EXPECT_EQ(result.at("found")[3].at("name"), "4017");
  // The name read tells which modules use checksums.
  EXPECT_EQ(result.at("found")[0].at("checksum"), true);
  EXPECT_EQ(result.at("found")[1].at("checksum"), false);
  EXPECT_EQ(result.at("found")[3].at("checksum"), false);

  EXPECT_EQ(result.at("count"), 4);
  EXPECT_EQ(result.at("probed"), 36);

  // Several types, one after the other, each module named the same way.
  const ProgramResult r17 = Velkhost({"scan", file, "--simulate", "--type", "Velk4017,Velk4050", "--from", "0", "--to",
                                      "5", "--timeout-ms", "60", "--json"});
  ASSERT_EQ(r17.exitCode, 0) << r17.err;
  const json result17 = json::parse(r17.out);
  EXPECT_EQ(result17.at("types"), json::parse(R"(["Velk4017", "Velk4050"])"));
  EXPECT_EQ(result17.at("count"), 2);
  ASSERT_EQ(result17.at("found").size(), 2u);
  EXPECT_EQ(result17.at("found")[0].at("address"), 3);
  EXPECT_EQ(result17.at("found")[0].at("name"), "4017");
  EXPECT_EQ(result17.at("found")[1].at("type"), "Velk4050");
}

TEST(VelkhostScan, NothingAnsweringIsAFailure) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", "[[device]]\nname = \"a\"\ntype = \"Velk4017\"\naddress = \"3\"\n");
  // The default time-out is short, and says why.
  const ProgramResult r = Velkhost({"scan", file, "--simulate", "--type", "Velk4017", "--from", "4", "--to", "6"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("probing each address with a 92 ms time-out (30 characters at 9600 baud"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("Velk4017 scan of addresses 4..6: 0 modules answered"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("no Velk4017 answered between 4 and 6"), std::string::npos) << r.err;
}

TEST(VelkhostPlan, TagsJoinTheFirstPacketThatTakesThem) {
  TempDir dir;
  std::string text =
      "[[device]]\nname = \"doors\"\ntype = \"Velk4055\"\naddress = \"7\"\n"
      "[[device]]\nname = \"other\"\ntype = \"Velk4055\"\naddress = \"8\"\n"
      "[[device]]\nname = \"ai\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
      "[[device]]\nname = \"strain\"\ntype = \"Velk4015\"\naddress = \"9\"\n";
  auto tag = [&](const std::string& name, const std::string& device, const std::string& address,
                 const std::string& type, bool poll = true) {
    text += "[[tag]]\nname = \"" + name + "\"\ndevice = \"" + device + "\"\naddress = \"" + address + "\"\ntype = \"" +
            type + "\"\n" + (poll ? "" : "poll = false\n");
  };
  tag("d5", "doors", "DI5", "bit");  // the range starts at the first tag's channel
  for (int ch : {0, 7, 1}) tag("d" + std::to_string(ch), "doors", "DI" + std::to_string(ch), "bit");
  tag("q2", "doors", "DO2", "bit");  // another register of the same module
  tag("q3", "doors", "DO3", "bit");
  tag("o0", "other", "DI0", "bit");  // another device never joins
  tag("a3", "ai", "AI3", "float");
  tag("a3again", "ai", "AI3", "float");
  tag("a4", "ai", "AI4", "float");
  tag("w", "ai", "AI5", "float", false);  // written only: not planned
  tag("m1", "strain", "MODULE", "short");
  tag("m2", "strain", "MODULE", "short");  // Velk4015 tags never share
  const std::string file = dir.Write("line.toml", text);
  const ProgramResult r = Velkhost({"plan", file, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json plan = json::parse(r.out);
  std::vector<std::pair<std::vector<std::string>, json>> packets;
  for (const json& p : plan.at("packets")) packets.push_back({p.at("tags"), p.at("channels")});
  const std::vector<std::pair<std::vector<std::string>, json>> expected = {
      // 5 takes 0 (range 0..5) and 7 (0..7); 1 lies inside.
      {{"d5", "d0", "d7", "d1"}, json({0, 7})},
      {{"q2", "q3"}, json({2, 3})},
      {{"o0"}, json({0, 0})},
      {{"a3", "a3again"}, json({3, 3})},
      {{"a4"}, json({4, 4})},
      {{"m1"}, json(nullptr)},
      {{"m2"}, json(nullptr)},
  };
  EXPECT_EQ(packets, expected) << r.out;
}

}  // namespace
