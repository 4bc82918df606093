// What a script sees of velkhost, velksim and velkd: one exit code per kind
// of ending, the versions, the reason of a failed packet, and Ctrl-C answered at once even
// while the driver waits out a long answer time-out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "tests/support/loopback_port.h"

namespace {

using tooltest::BackgroundProgram;
using tooltest::ProgramResult;
using tooltest::RunProgram;
using tooltest::TempDir;

std::string Line(const std::string& fault, int timeoutMs) {
  return "[port]\ntimeout_ms = " + std::to_string(timeoutMs) +
         "\n"
         "[[device]]\nname = \"ai\"\ntype = \"Velk4017\"\naddress = \"2\"\n"
         "[[tag]]\nname = \"t\"\ndevice = \"ai\"\naddress = \"AI1\"\ntype = \"float\"\n"
         "[simulation.ai]\nfault = \"" +
         fault + "\"\n";
}

struct ExitCase {
  const char* what;
  const char* program;            // "velkhost", "velksim" or "velkd"
  std::vector<std::string> args;  // "LINE" and "BROKEN" stand for the files below
  int exitCode;
  std::string said;  // in stdout or stderr; "" for nothing in particular
};

TEST(ExitCodes, OneCodePerKindOfEnding) {
  TempDir dir;
  const std::string good = dir.Write("good.toml", Line("none", 200));
  const std::string silent = dir.Write("silent.toml", Line("silent", 200));
  const std::string spoilt = dir.Write("spoilt.toml", Line("bad_checksum", 200));
  const std::string broken = dir.Write("broken.toml", "[port]\nbaud = \"fast\"\n");
  const std::string two = dir.Write("two.toml", Line("none", 200) +
                                                    "[[tag]]\nname = \"u\"\ndevice = \"ai\"\naddress = "
                                                    "\"AI2\"\ntype = \"float\"\n");
  const std::string clash =
      dir.Write("clash.toml",
                "[[device]]\nname = \"first\"\ntype = \"Velk4050\"\naddress = \"5\"\n"
                "[[device]]\nname = \"second\"\ntype = \"Velk4050\"\naddress = \"7\"\nmodbus_unit = 5\n");
  const std::string store = dir.Write("store.toml", Line("none", 200) + "[store]\nsize_limit_mib = 0\n");
  const std::string refusing = "tcp:127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
  // A stable by-id name too long for the host's record, leading to a
  // device that is no serial port.
  const std::string byId = dir.path() + "/usb-Velk_RS485_adapter_0123456789ABCDEF-if00-port0";
  ASSERT_EQ(symlink("/dev/null", byId.c_str()), 0);
  const ExitCase cases[] = {
      {"a good poll", "velkhost", {"poll", good, "--simulate", "--once", "--plain"}, 0, "quality 192"},
      {"a poll as CSV",
       "velkhost",
       {"poll", good, "--simulate", "--once", "--csv"},
       0,
       "cycle,ts,device,tag,value,quality,good,reason\n1,20"},
      {"a failed reading as CSV",
       "velkhost",
       {"poll", silent, "--simulate", "--once", "--csv"},
       1,
       ",ai,t,,0,false,no answer\n"},
      {"a silent module",
       "velkhost",
       {"poll", silent, "--simulate", "--once", "--json"},
       1,
       "\"reason\":\"no answer\""},
      {"a spoilt checksum", "velkhost", {"poll", spoilt, "--simulate", "--once", "--plain"}, 1, "checksum mismatch"},
      {"a probe answered with a spoilt checksum",
       "velkhost",
       {"probe", spoilt, "ai", "--simulate"},
       1,
       "answers with a different checksum setting"},
      {"an unknown option", "velkhost", {"poll", good, "--no-such-option"}, 2, ""},
      {"a setting out of range", "velkhost", {"poll", good, "--parity", "sideways"}, 2, ""},
      {"a broken line file", "velkhost", {"poll", broken, "--simulate"}, 2, "baud"},
      {"a missing port", "velkhost", {"probe", good, "ai", "--port", "ttyVelkNoSuchPort"}, 3, "does not exist"},
      {"a poll of one tag of two",
       "velkhost",
       {"poll", two, "--simulate", "--once", "--json", "--tag", "u"},
       0,
       "{\"cycle\":1,\"tags\":[{\"name\":\"u\",\"device\":\"ai\""},
      {"a poll of one device",
       "velkhost",
       {"poll", two, "--simulate", "--once", "--csv", "--device", "ai"},
       0,
       ",ai,u,"},
      {"the docs' poll of a device and a tag besides: both, not what they share",
       "velkhost",
       {"poll", VELK_SOURCE_DIR "/examples/line.toml", "--simulate", "--once", "--csv", "--device", "boiler", "--tag",
        "ramp"},
       0,
       ",boiler,boiler_events,"},
      {"the docs' poll of a device and a tag: the tag too",
       "velkhost",
       {"poll", VELK_SOURCE_DIR "/examples/line.toml", "--simulate", "--once", "--csv", "--device", "boiler", "--tag",
        "ramp"},
       0,
       ",inputs,ramp,"},
      {"a poll of a tag the file lacks",
       "velkhost",
       {"poll", two, "--simulate", "--once", "--tag", "tt"},
       2,
       "has no tag 'tt'; did you mean 't'? (tags: t, u)"},
      {"a probe as JSON",
       "velkhost",
       {"probe", good, "ai", "--simulate", "--json"},
       0,
       "{\"device\":\"ai\",\"type\":\"Velk4017\",\"address\":\"2\",\"answered\":true,\"reason\":null,\"name\":"},
      {"a silent probe as JSON",
       "velkhost",
       {"probe", silent, "ai", "--simulate", "--json"},
       1,
       "\"answered\":false,\"reason\":\"no answer\",\"name\":null}"},
      {"a missing line file",
       "velkhost",
       {"poll", "/nonexistent/line.toml"},
       2,
       "/nonexistent/line.toml: cannot read the line file: it does not exist"},
      {"a long port name, named as given",
       "velkhost",
       {"probe", good, "ai", "--port", byId},
       3,
       "port " + byId + ": cannot open serial port '/dev/null'"},
      {"an unknown module type",
       "velkhost",
       {"check", "Velk9999", "1", "AI3", "float"},
       1,
       "unknown module type 'Velk9999'"},
      {"velkhost: the build tree's help names its own examples",
       "velkhost",
       {"--help"},
       0,
       "velkhost poll " VELK_SOURCE_DIR "/examples/line.toml --simulate"},
      {"a device server that refuses",
       "velkhost",
       {"probe", good, "ai", "--port", refusing},
       3,
       "connection refused: nothing listens at the device server 127.0.0.1 port"},
      {"a device server name too long",
       "velkhost",
       {"probe", good, "ai", "--port", "rfc2217:device-server-in-hall-7:4001"},
       2,
       "a short name in /etc/hosts"},
      {"the settings from the command line",
       "velkhost",
       {"poll", good, "--simulate", "--once", "--plain", "--baud", "19200", "--timeout-ms", "300", "-v"},
       0,
       "19200 baud, 8 data bits, parity none, 1 stop bit, answer time-out 300 ms"},
      {"velksim: an unknown option", "velksim", {"--no-such-option"}, 2, ""},
      {"velksim: no modules", "velksim", {}, 2, "no modules"},
      {"velksim: a fault the module cannot show",
       "velksim",
       {"-m", "1:Velk4017", "--fault", "1:bad_checksum"},
       2,
       "bad_checksum applies to a module that uses checksums"},
      {"velksim: a device that is not there",
       "velksim",
       {"-m", "1:Velk4017", "--device", "/dev/ttyVelkNoSuchPort"},
       3,
       ""},
      {"velkhost: the serial ports", "velkhost", {"ports"}, 0, "serial"},
      {"velkd: an unknown option", "velkd", {good, "--no-such-option"}, 2, ""},
      {"velkd: a file that is not there", "velkd", {"/nonexistent/line.toml"}, 2, ""},
      {"velkd: a broken line file", "velkd", {"--check", broken}, 2, "baud"},
      {"velkd: a [store] limit out of range, at its line",
       "velkd",
       {"--check", store},
       2,
       "store.toml:15: size_limit_mib of [store] must be a whole number from 1 to 65536"},
      {"velkd: exit codes in the help", "velkd", {"--help"}, 0, "Exit status: 0 stopped as asked (SIGTERM, Ctrl-C)"},
      {"velkd: the help's mbpoll reads floats high word first", "velkd", {"--help"}, 0, "-t 3:float -B -r 1"},
      {"velkd: a unit clash in the map names both devices",
       "velkd",
       {"--modbus-map", clash},
       2,
       "would be Modbus unit 5, which is device 'first' of "},
      {"velkd: ... and where, without an address to listen on",
       "velkd",
       {"--modbus-map", clash},
       2,
       "clash.toml already: give one modbus_unit = N"},
      {"velksim: exit codes in the help", "velksim", {"--help"}, 0, "Exit status: 0 success, 1 a packet failed, 2 a"},
      {"velkhost: the versions", "velkhost", {"--version"}, 0, "velkhost 1.0.0\ndriver library 1.0.0 ("},
      {"velksim: the versions", "velksim", {"--version"}, 0, "velksim 1.0.0\ndriver library 1.0.0 ("},
      {"velkd: the versions", "velkd", {"--version"}, 0, "velkd 1.0.0\ndriver library 1.0.0 ("},
  };
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    const std::string program = c.program;
    args.insert(args.begin(), program == "velkhost" ? VELKHOST_PATH : program == "velksim" ? VELKSIM_PATH : VELKD_PATH);
    const ProgramResult r = RunProgram(args, 30000);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
  }
}

// The driver waits ten seconds for a silent module; Ctrl-C ends the program
// long before, with the code of an interrupted program.
TEST(ExitCodes, CtrlCDuringALongTimeout) {
  TempDir dir;
  const std::string silent = dir.Write("silent.toml", Line("silent", 10000));
  BackgroundProgram host;
  ASSERT_TRUE(host.Start({VELKHOST_PATH, "poll", silent, "--simulate", "--plain", "--trace"}));
  // The command is on the line: the driver now waits for its answer.
  ASSERT_TRUE(host.WaitForErrorOutput(" TX ", 10000)) << host.err();
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult r = host.Stop(5000);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_LT(took, std::chrono::seconds(3)) << "a hang, not a speed check";
  EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
}

}  // namespace
