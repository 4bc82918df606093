// The two programs together, as a person runs them: velksim plays the
// modules in one process, velkhost writes and reads them from another over
// the pseudo-terminal velksim prints.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <set>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using tooltest::BackgroundProgram;
using tooltest::ProgramResult;
using tooltest::RunProgram;
using tooltest::TempDir;

const char kModules[] =
    "[[module]]\naddress = 5\ntype = \"Velk4050\"\nchecksum = true\nvalues = { do = 0x0A }\n"
    "[[module]]\naddress = 11\ntype = \"Data7210\"\n";

const char kLine[] =
    "[port]\ntimeout_ms = 500\n"
    "[[device]]\nname = \"relays\"\ntype = \"Velk4050\"\naddress = \"5\"\n"
    "[[device]]\nname = \"panel\"\ntype = \"Data7210\"\naddress = \"11\"\n"
    "[[tag]]\nname = \"relay3\"\ndevice = \"relays\"\naddress = \"DO3\"\ntype = \"bit\"\n"
    "[[tag]]\nname = \"shown\"\ndevice = \"panel\"\naddress = \"SetDat1.11\"\ntype = \"float\"\npoll = false\n";

// Starts velksim on the modules file and takes the pseudo-terminal it
// reports.
void StartSimulator(BackgroundProgram& simulator, const std::string& modules, std::string* port,
                    const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {VELKSIM_PATH, modules, "--plain"};
  args.insert(args.end(), more.begin(), more.end());
  ASSERT_TRUE(simulator.Start(args));
  ASSERT_TRUE(simulator.WaitForOutput("\n", 10000)) << simulator.err();
  std::smatch match;
  const std::string first = simulator.out();
  ASSERT_TRUE(std::regex_search(first, match, std::regex("velksim: \\d+ modules on (\\S+)\\n"))) << first;
  *port = match[1];
}

int PolledRelay3(const std::string& line, const std::string& port) {
  const ProgramResult r = RunProgram({VELKHOST_PATH, "poll", line, "--port", port, "--once", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const nlohmann::json cycle = nlohmann::json::parse(r.out);
  EXPECT_EQ(cycle.at("tags")[0].at("name"), "relay3");
  return cycle.at("tags")[0].at("value").is_number() ? cycle.at("tags")[0].at("value").get<int>() : -1;
}

TEST(VelksimWithVelkhost, WritesChangeTheSimulatorAndLaterReadsShowIt) {
  TempDir dir;
  const std::string modules = dir.Write("modules.toml", kModules);
  const std::string line = dir.Write("line.toml", kLine);
  BackgroundProgram simulator;
  std::string port;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(simulator, modules, &port));

  EXPECT_EQ(PolledRelay3(line, port), 1);
  ProgramResult r = RunProgram({VELKHOST_PATH, "write", line, "relay3", "0", "--port", port});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // A new process, a new driver: the value lives in the simulator.
  EXPECT_EQ(PolledRelay3(line, port), 0);

  r = RunProgram({VELKHOST_PATH, "write", line, "shown", "12.5", "--port", port});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(simulator.WaitForOutput("display 0B shows \"12.5\"", 5000)) << simulator.out();

  const ProgramResult end = simulator.Stop();
  EXPECT_EQ(end.exitCode, 130) << end.err;
  EXPECT_NE(end.out.find("velksim: ended after "), std::string::npos) << end.out;
}

// At 1200 baud every byte takes 8 ms each way: the host's time-out of
// 500 ms still covers the exchange, and the value comes through whole.
TEST(VelksimWithVelkhost, APacedLineIsPolledAsAWire) {
  TempDir dir;
  const std::string modules = dir.Write("modules.toml", kModules);
  const std::string line = dir.Write("line.toml", kLine);
  BackgroundProgram simulator;
  std::string port;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(simulator, modules, &port, {"--pace", "--baud", "1200"}));
  EXPECT_EQ(PolledRelay3(line, port), 1);
}

TEST(VelksimWithVelkhost, PortHeldByAnotherHostIsExplained) {
  TempDir dir;
  const std::string modules = dir.Write("modules.toml", kModules);
  const std::string line = dir.Write("line.toml", kLine);
  BackgroundProgram simulator;
  std::string port;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(simulator, modules, &port));

  BackgroundProgram poller;
  ASSERT_TRUE(poller.Start({VELKHOST_PATH, "poll", line, "--port", port, "--interval-ms", "50"}));
  ASSERT_TRUE(poller.WaitForOutput("cycle 1\n", 10000)) << poller.err();
  const ProgramResult second = RunProgram({VELKHOST_PATH, "poll", line, "--port", port, "--once"});
  EXPECT_EQ(second.exitCode, 3);
  EXPECT_NE(second.err.find("cannot open serial port '" + port + "'"), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("another program holds"), std::string::npos) << second.err;
  // Ctrl-C ends the first host cleanly, between exchanges.
  EXPECT_EQ(poller.Stop().exitCode, 130) << poller.err();
}

// A module that stops answering costs the line a time-out per packet: after
// three it is asked once per back-off period (here 1 s, then 2 s at most),
// while the others keep every cycle. A Data7810 read that stays busy is held
// back alone; the module's other register keeps its rate. The silent module
// plugged back in (velksim restarted on the same --link) is served again
// from its first good answer on.
TEST(VelksimWithVelkhost, SilentModuleIsAskedAtTheBackOffPaceUntilItAnswers) {
  TempDir dir;
  const std::string modules = dir.Write(
      "modules.toml",
      "[[module]]\naddress = 2\ntype = \"Velk4017\"\nchecksum = true\nvalues = { ai = [1.5] }\n"
      "[[module]]\naddress = 5\ntype = \"Velk4050\"\nchecksum = true\nvalues = { do = 0x0A }\n"
      "[[module]]\naddress = 10\ntype = \"Data7810\"\nfault = \"always_busy\"\nvalues = { temp = [85.5], di = 1 }\n");
  const std::string line =
      dir.Write("line.toml",
                "[port]\ntimeout_ms = 200\n[line]\noffline_after = 3\noffline_retry_max_s = 2\n"
                "[[device]]\nname = \"inputs\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
                "[[device]]\nname = \"relays\"\ntype = \"Velk4050\"\naddress = \"5\"\n"
                "[[device]]\nname = \"thermo\"\ntype = \"Data7810\"\naddress = \"10\"\n"
                "[[tag]]\nname = \"ai0\"\ndevice = \"inputs\"\naddress = \"AI0\"\ntype = \"float\"\n"
                "[[tag]]\nname = \"relay3\"\ndevice = \"relays\"\naddress = \"DO3\"\ntype = \"bit\"\n"
                "[[tag]]\nname = \"oven\"\ndevice = \"thermo\"\naddress = \"Temp0\"\ntype = \"float\"\n"
                "[[tag]]\nname = \"in0\"\ndevice = \"thermo\"\naddress = \"DI0\"\ntype = \"bit\"\n");
  const std::string link = dir.path() + "/line";
  BackgroundProgram simulator;
  std::string port;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(simulator, modules, &port, {"--link", link, "--fault", "5:silent"}));
  BackgroundProgram poller;
  ASSERT_TRUE(poller.Start({VELKHOST_PATH, "poll", line, "--port", link, "--json", "--interval-ms", "0"}));
  ASSERT_TRUE(poller.WaitForErrorOutput("device 'relays' (Velk4050 at 5) offline", 10000)) << poller.err();
  // Reads on past the tries, which come 1 s and 3 s after it went offline.
  poller.WaitForErrorOutput("\x01", 4000);
  simulator.Stop();
  BackgroundProgram replugged;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(replugged, modules, &port, {"--link", link}));
  EXPECT_TRUE(poller.WaitForErrorOutput("device 'relays' (Velk4050 at 5) back", 10000)) << poller.err();
  poller.WaitForErrorOutput("\x01", 300);
  const ProgramResult r = poller.Stop();
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_NE(r.err.find("'thermo' (Data7810 at 10) Temp 0 read: busy for the whole time-out 3 times in a row"),
            std::string::npos)
      << r.err;

  // Before the re-plug: every cycle reads the healthy registers; the silent
  // module's packets go out three times and then once per period.
  std::istringstream out(r.out);
  std::string text;
  size_t cycles = 0, relaysSent = 0, relaysHeld = 0, busyHeld = 0;
  bool unplugged = false, recovered = false;
  const std::regex offline("offline, next try in [12] s"), busy("busy, next try in [12] s");
  const auto reason = [](const nlohmann::json& tag) {
    return tag.at("reason").is_string() ? tag.at("reason").get<std::string>() : std::string();
  };
  while (std::getline(out, text)) {
    if (text.empty()) continue;
    const nlohmann::json cycle = nlohmann::json::parse(text);
    std::map<std::string, nlohmann::json> tags;
    for (const nlohmann::json& tag : cycle.at("tags")) tags[tag.at("name").get<std::string>()] = tag;
    const std::string relayReason = reason(tags.at("relay3"));
    if (recovered) {
      EXPECT_TRUE(tags.at("relay3").at("good").get<bool>()) << "restored at once, not held back again: " << text;
      continue;
    }
    // The simulator's stop is seen by whichever packet comes next.
    if (!tags.at("ai0").at("good").get<bool>() || !tags.at("in0").at("good").get<bool>()) unplugged = true;
    if (unplugged) {
      recovered = tags.at("relay3").at("good").get<bool>();
      continue;
    }
    ++cycles;
    EXPECT_EQ(tags.at("ai0").at("value"), 1.5) << text;
    EXPECT_FALSE(tags.at("oven").at("good").get<bool>()) << text;
    if (std::regex_match(reason(tags.at("oven")), busy)) ++busyHeld;
    if (relayReason == "no answer")
      ++relaysSent;
    else if (std::regex_match(relayReason, offline))
      ++relaysHeld;
    else
      ADD_FAILURE() << text;
  }
  EXPECT_TRUE(recovered) << r.err;
  // Three to go offline, tries after 1 s and 3 s (4 s if the port went
  // slowly): never one per cycle.
  EXPECT_GE(relaysSent, 4u);
  EXPECT_LE(relaysSent, 6u);
  EXPECT_GT(relaysHeld, 5 * relaysSent) << "the healthy modules kept their pace";
  EXPECT_GT(busyHeld, cycles / 2);
}

// The two example files are one bus: velksim playing either of them answers
// every tag of the line file.
TEST(VelksimWithVelkhost, BothExamplesPlayTheLineFilesBus) {
  const std::string examples = std::string(VELK_SOURCE_DIR) + "/examples/";
  for (const char* played : {"simulator.toml", "line.toml"}) {
    SCOPED_TRACE(played);
    BackgroundProgram simulator;
    ASSERT_TRUE(simulator.Start({VELKSIM_PATH, examples + played, "--plain"}));
    ASSERT_TRUE(simulator.WaitForOutput("\n", 10000)) << simulator.err();
    std::smatch match;
    const std::string first = simulator.out();
    ASSERT_TRUE(std::regex_search(first, match, std::regex("modules? on (\\S+)\\n"))) << first;
    const ProgramResult r =
        RunProgram({VELKHOST_PATH, "poll", examples + "line.toml", "--port", match[1], "--once", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json poll = nlohmann::json::parse(r.out);
    for (const nlohmann::json& tag : poll.at("tags")) EXPECT_TRUE(tag.at("good").get<bool>()) << tag.dump();
    simulator.Stop();
  }
}

// The example line behind an adapter that echoes every command reads as the
// clean line; a module whose echo comes back garbled fails as a collision,
// and no other tag is touched. Values that move with time are left out.
TEST(VelksimWithVelkhost, TheExampleLineBehindAnEcho) {
  const std::string examples = std::string(VELK_SOURCE_DIR) + "/examples/";
  const std::set<std::string> moving = {"level", "ramp", "flow_count_low"};
  const char kCollision[] = "bus collision: the echo differs from the command";
  std::map<std::string, nlohmann::json> clean;
  const struct {
    std::vector<std::string> args;
    const char* failingDevice;
  } runs[] = {{{}, nullptr}, {{"--echo"}, nullptr}, {{"--echo", "--fault", "2:echo_garbled"}, "inputs"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args.empty() ? "clean" : run.args.back());
    BackgroundProgram simulator;
    std::string port;
    ASSERT_NO_FATAL_FAILURE(StartSimulator(simulator, examples + "simulator.toml", &port, run.args));
    const ProgramResult r =
        RunProgram({VELKHOST_PATH, "poll", examples + "line.toml", "--port", port, "--once", "--json"});
    const nlohmann::json poll = nlohmann::json::parse(r.out);
    for (const nlohmann::json& tag : poll.at("tags")) {
      const std::string name = tag.at("name");
      if (run.failingDevice != nullptr && tag.at("device") == run.failingDevice) {
        EXPECT_FALSE(tag.at("good").get<bool>()) << tag.dump();
        EXPECT_EQ(tag.at("reason"), kCollision) << tag.dump();
        continue;
      }
      EXPECT_TRUE(tag.at("good").get<bool>()) << tag.dump();
      if (run.args.empty()) {
        clean[name] = tag.at("value");
      } else if (moving.count(name) == 0) {
        EXPECT_EQ(tag.at("value"), clean[name]) << name;
      }
    }
    simulator.Stop();
  }
}

}  // namespace
