// A line file that the driver or velkhost rejects: the program names the
// file's line, the error code and the driver's text, and exits non-zero
// before it opens the port. Also the other failures a person meets first: a
// port that does not exist and a library that does not load.
#include <gtest/gtest.h>

#include "child_process.h"
#include "support/host_driver.h"

namespace {

using tooltest::ProgramResult;
using tooltest::RunProgram;
using tooltest::TempDir;

ProgramResult Velkhost(std::vector<std::string> args, const tooltest::Environment& environment = {}) {
  args.insert(args.begin(), {VELKHOST_PATH, "--library", VELK_DRIVER_PATH});
  return RunProgram(args, 60000, environment);
}

// Six lines, so that an entry appended after it starts at line 7.
const char kHead[] =
    "[port]\n"
    "name = \"ttyVelkNoSuchPort\"\n"
    "timeout_ms = 200\n"
    "[[device]]\n"
    "name = \"ai\"\n"
    "type = \"Velk4017\"\n";

std::string Tag(const std::string& address, const std::string& type, const std::string& device = "ai") {
  return "[[tag]]\nname = \"t\"\ndevice = \"" + device + "\"\naddress = \"" + address + "\"\ntype = \"" + type + "\"\n";
}

std::string DriverErrorText(const char* type, const char* tag, int16_t dataType) {
  testsupport::HostLibrary library;
  testsupport::HostDriver driver(library);
  velk::TagConfig config = {};
  snprintf(config.moduleType, sizeof config.moduleType, "%s", type);
  snprintf(config.addressText, sizeof config.addressText, "%s", tag);
  config.dataType = dataType;
  velk::TagDef def = {};
  driver.d->ParseTag(&config, &def);
  const char* text = driver.d->GetErrorText();
  return text != nullptr ? text : "";
}

TEST(VelkhostConfig, BadTagNamesItsLineTheCodeAndTheText) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", std::string(kHead) + "address = \"2\"\n" + Tag("AI9", "float"));
  const std::string text = DriverErrorText("Velk4017", "AI9", velk::kTypeFloat);
  ASSERT_FALSE(text.empty());
  for (const char* command : {"poll", "plan", "write", "probe"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {command, file};
    if (std::string(command) == "write") args.insert(args.end(), {"t", "1"});
    if (std::string(command) == "probe") args.push_back("ai");
    const ProgramResult r = Velkhost(args);
    EXPECT_EQ(r.exitCode, 2);
    // The tag's section starts at line 8.
    EXPECT_NE(r.err.find(file +
                         ":8: tag 't' (Velk4017 'ai'): address \"AI9\" as float rejected (AI has channels 0 to 7: "
                         "AI0 to AI7): error 14: " +
                         text),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("serial port"), std::string::npos) << "the port must not be tried: " << r.err;
    EXPECT_EQ(r.out, "");
  }
}

struct ConfigCase {
  const char* name;
  std::string text;
  const char* expected;  // must appear in the error output
};

TEST(VelkhostConfig, EveryRejectionNamesItsLine) {
  const ConfigCase cases[] = {
      {"device address", std::string(kHead) + "address = \"1a\"\n",
       ":4: device 'ai': address \"1a\" rejected: error 11: "},
      {"module type", "[[device]]\nname = \"x\"\ntype = \"Velk9999\"\naddress = \"1\"\n",
       ":1: device 'x': unknown module type 'Velk9999'"},
      {"module type nearly right", "[[device]]\nname = \"x\"\ntype = \"Velk417\"\naddress = \"1\"\n",
       ":1: device 'x': unknown module type 'Velk417': the driver has no register table for it (see `velkhost "
       "tables`); did you mean 'Velk4017'?"},
      {"register nearly right", std::string(kHead) + "address = \"2\"\n" + Tag("AJ3", "float"),
       ":8: tag 't' (Velk4017 'ai'): address \"AJ3\" as float rejected (did you mean 'AI3'?): error 12: "},
      {"data type nearly right", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "flaot"),
       ":12: type 'flaot' of tag 't' is not one of bit, byte, short, word, long, float, string; did you mean 'float'?"},
      {"key nearly right", "[port]\nbuad = 9600\n",
       ":2: unknown key 'buad' in [port] (known: name, baud, data_bits, "
       "parity, stop_bits, timeout_ms, poll_delay_ms); did you mean 'baud'?"},
      // The file's own findings do not hide the driver's: one pass names both.
      {"every finding in one pass", std::string(kHead) + "address = \"2\"\n" + Tag("XY1", "float") + "speed = 1\n",
       ":8: tag 't' (Velk4017 'ai'): address \"XY1\" as float rejected: error 12: "},
      {"data type mask", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "bit"),
       ":8: tag 't' (Velk4017 'ai'): address \"AI1\" as bit rejected (AI takes float): error 13: "},
      // Only an address that exists is offered: AI1, never AI11 on eight channels.
      {"register and channel nearly right", std::string(kHead) + "address = \"2\"\n" + Tag("A11", "float"),
       ":8: tag 't' (Velk4017 'ai'): address \"A11\" as float rejected (did you mean 'AI1'?): error 12: "},
      {"channel out of range",
       "[[device]]\nname = \"x\"\ntype = \"Velk4015\"\naddress = \"1\"\n" + Tag("NVALUE9", "float", "x"),
       ":5: tag 't' (Velk4015 'x'): address \"NVALUE9\" as float rejected (NVALUE has channels 1 to 6: NVALUE1 to "
       "NVALUE6): error 14: "},
      {"a type the register does not take",
       "[[device]]\nname = \"x\"\ntype = \"Velk4011\"\naddress = \"1\"\n" + Tag("EC", "float", "x"),
       ":5: tag 't' (Velk4011 'x'): address \"EC\" as float rejected (EC takes word): error 13: "},
      {"device nearly right", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "float", "aii"),
       ":10: tag 't' names device 'aii', which is not defined; did you mean 'ai'?"},
      {"register", std::string(kHead) + "address = \"2\"\n" + Tag("XY1", "float"),
       ":8: tag 't' (Velk4017 'ai'): address \"XY1\" as float rejected: error 12: "},
      {"unknown device", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "float", "nope"),
       ":10: tag 't' names device 'nope', which is not defined"},
      {"data type name", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "double"),
       ":12: type 'double' of tag 't' is not one of"},
      {"parity", "[port]\nparity = \"sometimes\"\n",
       ":2: parity 'sometimes' is not one of none, odd, even, mark, space"},
      {"baud beyond any UART", "[port]\nbaud = 5000000\n", ":2: baud of [port] is 5000000, accepted 1 to 4000000"},
      {"unknown key", "[port]\nspeed = 9600\n", ":2: unknown key 'speed' in [port]"},
      {"address as float", "[[device]]\nname = \"x\"\ntype = \"Velk4017\"\naddress = 3.1\n",
       ":4: address of [[device]] at line 1 must be a text"},
      {"duplicate tag", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "float") + Tag("AI2", "float"),
       ":13: a tag named 't' is already defined"},
      {"syntax", "[port\nname = 1\n", ":1: "},
      {"back-off maximum of zero", "[line]\noffline_retry_max_s = 0\n",
       ":2: offline_retry_max_s of [line] is 0, accepted 1 to 3600"},
      {"unknown key in [line]", "[line]\noffline_retry_max = 5\n", ":2: unknown key 'offline_retry_max' in [line]"},
      {"long port name", "[port]\nname = \"/dev/serial/by-id/usb-adapter-port0\"\n", ":2: port name"},
  };
  TempDir dir;
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.Write("line.toml", c.text);
    const ProgramResult r = Velkhost({"poll", file, "--once"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(file + c.expected), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("serial port"), std::string::npos) << r.err;
  }
}

TEST(VelkhostConfig, PortThatDoesNotExistIsNamed) {
  TempDir dir;
  const std::string file = dir.Write("line.toml", std::string(kHead) + "address = \"2\"\n" + Tag("AI1", "float"));
  const ProgramResult r = Velkhost({"poll", file, "--once"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("cannot open serial port 'ttyVelkNoSuchPort': /dev/ttyVelkNoSuchPort does not exist"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(VelkhostConfig, LineWithoutAnyPort) {
  TempDir dir;
  const std::string file = dir.Write(
      "line.toml", "[[device]]\nname = \"x\"\ntype = \"Velk4017\"\naddress = \"1\"\n" + Tag("AI1", "float", "x"));
  const ProgramResult r = Velkhost({"poll", file, "--once"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no serial port"), std::string::npos) << r.err;
}

TEST(VelkhostLibrary, LibraryThatDoesNotLoadOrIsNotTheDriver) {
  struct Case {
    std::string library;
    const char* expected;
  } cases[] = {
      {"/nonexistent/libVelk4000.so", "cannot load the driver library /nonexistent/libVelk4000.so: "},
      {VELK_MESSAGES_PATH, "is not a driver library: it has no DllGetClassObject entry point"},
  };
  for (const Case& c : cases) {
    const ProgramResult r = RunProgram({VELKHOST_PATH, "--library", c.library, "tables", "Velk4017"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
  }
}

TEST(VelkhostLibrary, RegisterThenLoadByProgramIdentifier) {
  TempDir home;
  const tooltest::Environment environment = {"XDG_CONFIG_HOME=" + home.path()};
  ProgramResult r = RunProgram({VELKHOST_PATH, "--progid", "Velk4000.Velk4000Pro", "library"}, 60000, environment);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("is not registered"), std::string::npos) << r.err;

  r = RunProgram({VELKHOST_PATH, "--library", VELK_DRIVER_PATH, "register"}, 60000, environment);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("clsid={F1C9CCD5-B1EF-11D2-8213-00400565D27C}"), std::string::npos) << r.out;

  r = RunProgram({VELKHOST_PATH, "--progid", "Velk4000.Velk4000Pro", "library"}, 60000, environment);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("driver library: "), std::string::npos);
  EXPECT_EQ(r.out.find("missing"), std::string::npos) << "the message library sits beside the driver: " << r.out;
}

}  // namespace
