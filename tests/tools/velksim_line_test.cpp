// The two programs together, as a person runs them: velksim plays the
// modules in one process, velkhost writes and reads them from another over
// the pseudo-terminal velksim prints.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
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
  ASSERT_TRUE(std::regex_search(first, match, std::regex("velksim: 2 modules on (\\S+)\\n"))) << first;
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

}  // namespace
