// velkhost: a test host for the driver library. It loads the library the way
// the host does and drives a line described in a TOML file: checks it,
// plans its packets, polls it, writes a tag, probes and scans for modules.
#include <stdio.h>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "exit_codes.h"
#include "terminal.h"
#include "version_text.h"

namespace {

const char kDescription[] = R"(velkhost - test host for the Velk4000 serial I/O driver

Loads the driver library (beside this program, else )" VELK_HOSTLIB_INSTALLED_DRIVER R"()
and calls it only through its entry points and interfaces, as the host does.
A line file (TOML) describes the serial port, the devices and their tags:

  [port]
  name = "ttyUSB0"        # or /dev/ttyS1; --port and --simulate replace it
                          # behind a device server: tcp:HOST:PORT (raw) or
                          # rfc2217:HOST:PORT (Telnet, settings sent to it)
  baud = 9600             # data_bits = 8, parity = "none", stop_bits = 1
  timeout_ms = 1000       # the driver's answer time-out
  poll_delay_ms = 15      # first wait, written through a DISPLAY register

  [line]                  # poll holds back a module that stopped answering
  offline_after = 3       # silent packets in a row before it is offline (0: never)
  offline_retry_max_s = 30  # its tries come after 1 s, 2 s, 4 s ... up to this

  [[device]]
  name = "inputs"
  type = "Velk4017"
  address = "1"           # "1.1": module 1 without checksums

  [[tag]]
  name = "temperature"
  device = "inputs"
  address = "AI3"
  type = "float"          # bit byte short word long float string
  poll = true             # false: a tag that is only written

  [simulation.inputs]     # what --simulate makes the device answer
  values = { ai = [0, 0, 0, 21.5] }
  fault = "delay=50"      # see )" VELK_CONFIG_DIR R"(/line.toml and simulator.toml

Each failed packet names its reason: refused, checksum mismatch, no answer,
no carriage return, answer too long, not built, no port, port lost, busy
bound or bad answer (the "reason" field of --json output); a packet held
back reads "offline, next try in N s" or "busy, next try in N s". --trace prints
every command and answer chunk in hex and ASCII with times.

)" VELK_EXIT_STATUS_HELP R"(
A second Ctrl-C ends at once, even while the driver waits for an answer.

Start here, no hardware needed:
  velkhost poll )" VELK_CONFIG_DIR R"(/line.toml --simulate --cycles 5)";

void AddLineOptions(CLI::App* command, velkhost::LineOptions* line, bool withSimulate) {
  // A missing file is reported by the file's reading, in its own words.
  command->add_option("CONFIG", line->configPath, "line file (TOML)")->required();
  command->add_option("--port", line->port, "serial port to use instead of the file's [port] name");
  if (withSimulate)
    command->add_flag("--simulate", line->simulate,
                      "play the file's devices with the built-in simulator on a new pseudo-terminal,\n"
                      "answering as its [simulation.DEVICE] tables say");
  if (withSimulate)
    command->add_flag("--pace", line->pace,
                      "with --simulate: the simulated line takes each byte at the file's baud rate,\n"
                      "as a wire would, instead of at once");
  command->add_flag("--v1", line->firstInterface, "use IDriver ProcessPacket instead of IDriver2 ProcessPacket2");
  command->add_flag("-v,--verbose", line->verbose, "say which port was opened with which settings");
  command->add_flag("--trace", line->trace,
                    "print every command and answer chunk (hex and ASCII, with times) to stderr");
}

// The line's settings, for the commands that take them from the file.
void AddSettingOptions(CLI::App* command, velkhost::LineOptions* line) {
  command->add_option("--baud", line->baud, "baud rate instead of the file's")->check(CLI::Range(50u, 4000000u));
  command->add_option("--parity", line->parity, "none, odd, even, mark or space instead of the file's")
      ->check(CLI::IsMember(hostlib::ParityNames(), CLI::ignore_case));
  command->add_option("--data-bits", line->dataBits, "5..8 instead of the file's")->check(CLI::Range(5, 8));
  command->add_option("--stop-bits", line->stopBits, "1 or 2 instead of the file's")->check(CLI::Range(1, 2));
  command->add_option("--timeout-ms", line->timeoutMs, "the driver's answer time-out instead of the file's")
      ->check(CLI::Range(1, 32767));
  command->add_option("--poll-delay-ms", line->pollDelayMs, "first wait after a command instead of the file's")
      ->check(CLI::Range(0, 65535));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "velkhost"};
  app.set_version_flag("--version", [] { return hostlib::VersionText("velkhost"); });
  app.require_subcommand(1);
  app.fallthrough();
  velkhost::LibraryOptions library;
  app.add_option("--library", library.path, "driver library file to load (default: beside velkhost)");
  app.add_option("--progid", library.programId,
                 "load the library registered for this program identifier, e.g. " VELK4000_PROGID)
      ->excludes(app.get_option("--library"));

  std::string tablesType;
  CLI::App* tables = app.add_subcommand("tables",
                                        "print the register table of a module type, or of every type\n"
                                        "  example: velkhost tables Velk4017");
  tables->add_option("TYPE", tablesType, "module type, e.g. Velk4017 (all types when left out)");

  velkhost::CheckArgs checkArgs;
  CLI::App* check =
      app.add_subcommand("check",
                         "check a device address and a tag address as the host does; exit 1 when rejected\n"
                         "  example: velkhost check Velk4017 1 AI3 float");
  check->add_option("TYPE", checkArgs.moduleType, "module type")->required();
  check->add_option("DEVICE_ADDRESS", checkArgs.deviceAddress, "device address text, e.g. 1 or 3.1")->required();
  check->add_option("TAG_ADDRESS", checkArgs.tagAddress, "tag address text, e.g. AI3")->required();
  check->add_option("DATATYPE", checkArgs.dataType, "bit, byte, short, word, long, float or string")->required();

  velkhost::LineOptions planLine;
  bool planJson = false;
  CLI::App* plan = app.add_subcommand("plan",
                                      "print the packets the host builds for the line's tags\n"
                                      "  example: velkhost plan " VELK_CONFIG_DIR "/line.toml");
  plan->add_option("CONFIG", planLine.configPath, "line file (TOML)")->required();
  plan->add_flag("--v1", planLine.firstInterface, "plan TagItem packets for IDriver");
  plan->add_flag("--json", planJson, "print the plan as JSON");

  velkhost::LineOptions pollLine;
  velkhost::PollArgs pollArgs;
  bool once = false;
  CLI::App* poll = app.add_subcommand("poll",
                                      "read every tag, cycle after cycle: a live table in a terminal, lines otherwise\n"
                                      "  example: velkhost poll " VELK_CONFIG_DIR "/line.toml --simulate --cycles 5");
  AddLineOptions(poll, &pollLine, true);
  AddSettingOptions(poll, &pollLine);
  poll->add_flag("--once", once, "one cycle, then stop");
  poll->add_option("--cycles", pollArgs.cycles, "stop after N cycles (default: until Ctrl-C)")
      ->check(CLI::Range(1, 1000000000));
  poll->add_option("--interval-ms", pollArgs.intervalMs, "pause between cycles")
      ->capture_default_str()
      ->check(CLI::Range(0, 3600000));
  CLI::Option* pollJson = poll->add_flag("--json", pollArgs.json, "one JSON object per cycle on standard output");
  poll->add_flag("--csv", pollArgs.csv,
                 "one CSV row per reading on standard output (cycle,ts,device,tag,value,quality,good,reason),\n"
                 "for spreadsheets")
      ->excludes(pollJson);
  poll->add_flag("--plain", pollArgs.plain, "plain lines even in a terminal");
  poll->add_option("--device", pollArgs.devices,
                   "poll only the tags of this device (repeatable; with --tag, those tags as well)");
  poll->add_option("--tag", pollArgs.tags, "poll only this tag (repeatable; with --device, its tags as well)");
  poll->add_flag("--no-backoff", pollArgs.noBackoff,
                 "ask every device every cycle, even one that has stopped answering\n"
                 "(by default it is held back after [line] offline_after silent packets)");
  poll->add_option("--stats-file", pollArgs.statsFile,
                   "rewrite FILE after every cycle with cycles, packets, failed packets and the\n"
                   "library's atom count (for scripts/soak.sh)");

  velkhost::LineOptions writeLine;
  velkhost::WriteArgs writeArgs;
  CLI::App* write =
      app.add_subcommand("write",
                         "write one value to a tag\n"
                         "  example: velkhost write " VELK_CONFIG_DIR "/line.toml relay3 1 --simulate --read-back");
  AddLineOptions(write, &writeLine, true);
  AddSettingOptions(write, &writeLine);
  write->add_option("TAG", writeArgs.tag, "tag name from the line file")->required();
  write->add_option("VALUE", writeArgs.value, "value in the tag's type, e.g. 1, 12.5, 0x3F")->required();
  write->add_flag("--read-back", writeArgs.readBack, "read the tag again after writing");

  velkhost::LineOptions probeLine;
  std::string probeDevice;
  CLI::App* probe = app.add_subcommand("probe",
                                       "ask whether one device of the line answers\n"
                                       "  example: velkhost probe " VELK_CONFIG_DIR "/line.toml inputs --simulate");
  AddLineOptions(probe, &probeLine, true);
  AddSettingOptions(probe, &probeLine);
  probe->add_option("DEVICE", probeDevice, "device name from the line file")->required();
  bool probeJson = false;
  probe->add_flag("--json", probeJson,
                  "print {\"device\", \"type\", \"address\", \"answered\", \"reason\", \"name\"} on standard output");

  velkhost::LineOptions scanLine;
  velkhost::ScanArgs scanArgs;
  bool noChecksum = false;
  CLI::App* scan =
      app.add_subcommand("scan",
                         "probe every address for modules of one type and list who answered\n"
                         "  example: velkhost scan " VELK_CONFIG_DIR "/line.toml --type Velk4017 --to 15 --simulate");
  AddLineOptions(scan, &scanLine, true);
  scan->add_option("--type", scanArgs.moduleTypes, "module types to probe for (repeatable, or Velk4017,Velk4050)")
      ->required()
      ->delimiter(',');
  scan->add_option("--from", scanArgs.from, "first address")->capture_default_str()->check(CLI::Range(0, 255));
  scan->add_option("--to", scanArgs.to, "last address")->capture_default_str()->check(CLI::Range(0, 255));
  scan->add_option("--timeout-ms", scanArgs.timeoutMs,
                   "answer time-out per address (short by default: raise it for a slow line or a slow module)")
      ->capture_default_str()
      ->check(CLI::Range(1, 32767));
  scan->add_flag("--no-checksum", noChecksum, "probe without checksums");
  scan->add_flag("--json", scanArgs.json, "print the result as JSON");

  CLI::App* libraryCommand =
      app.add_subcommand("library",
                         "say which driver library is loaded and whether its message library sits beside it\n"
                         "  example: velkhost --progid " VELK4000_PROGID " library");

  CLI::App* portsCommand =
      app.add_subcommand("ports",
                         "list the serial devices with their stable /dev/serial/by-id names and drivers,\n"
                         "for the [port] name of a line file\n"
                         "  example: velkhost ports");

  CLI::App* registration =
      app.add_subcommand("register",
                         "call the library's DllRegisterServer, so that --progid finds it\n"
                         "  example: velkhost --library " VELK_HOSTLIB_INSTALLED_DRIVER " register");

  // Run from its build tree, the help's examples name the files there.
  app.description(hostlib::WithThisTreesPaths(app.get_description()));
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
    command->description(hostlib::WithThisTreesPaths(command->get_description()));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end well; every other parse error is a usage error.
    return app.exit(e) == 0 ? hostlib::kExitOk : hostlib::kExitConfig;
  }

  if (*tables) return velkhost::RunTables(library, tablesType);
  if (*check) return velkhost::RunCheck(library, checkArgs);
  if (*plan) return velkhost::RunPlan(library, planLine, planJson);
  // The commands that talk to a line run where Ctrl-C can end them.
  hostlib::InstallStopHandler("velkhost");
  if (*poll) {
    if (once) pollArgs.cycles = 1;
    return hostlib::RunStoppable([&] { return velkhost::RunPoll(library, pollLine, pollArgs); });
  }
  if (*write) return hostlib::RunStoppable([&] { return velkhost::RunWrite(library, writeLine, writeArgs); });
  if (*probe)
    return hostlib::RunStoppable([&] { return velkhost::RunProbe(library, probeLine, probeDevice, probeJson); });
  if (*scan) {
    scanArgs.checksum = !noChecksum;
    scanArgs.timeoutGiven = scan->count("--timeout-ms") > 0;
    return hostlib::RunStoppable([&] { return velkhost::RunScan(library, scanLine, scanArgs); });
  }
  if (*libraryCommand) return velkhost::RunLibrary(library);
  if (*registration) return velkhost::RunRegister(library);
  if (*portsCommand) return velkhost::RunPorts();
  return hostlib::kExitConfig;
}
