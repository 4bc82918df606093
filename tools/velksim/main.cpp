// velksim: plays the modules of an RS-485 line so that the driver, the test
// host or any master can be tried without hardware.
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "live_view.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "sim/bus.h"
#include "sim/server.h"
#include "sim/tcp_relay.h"
#include "exit_codes.h"
#include "line_config.h"
#include "sim_file.h"
#include "stop_signal.h"
#include "version_text.h"

namespace {

const char kDescription[] =
    "Plays the modules of an RS-485 line: \"Velk\" modules, Data7810 modules and Data7210 displays.\n"
    "It serves them on a new pseudo-terminal (its path is printed; open it as the serial port)\n"
    "or on a serial device, answers every command, and shows what the displays show and the\n"
    "last commands received. Ctrl-C ends it.\n"
    "\n"
    "Examples:\n"
    "  velksim " VELK_CONFIG_DIR
    "/simulator.toml\n"
    "  velksim " VELK_CONFIG_DIR
    "/simulator.toml --fault 3:delay=200,chunks=3/20 --fault 5:silent\n"
    "  velksim -m 1:Velk4017:checksum -m 2:Data7210 --device /dev/ttyUSB0 --baud 9600\n"
    "  velksim " VELK_CONFIG_DIR
    "/simulator.toml --plain --duration 60 --path-file /tmp/velksim.path\n"
    "\n"
    "The file's format is described in " VELK_CONFIG_DIR
    "/simulator.toml.\n"
    "\n" VELK_EXIT_STATUS_HELP
    "\n"
    "velksim ends with 0 after --duration, and with 3 when it cannot serve the line.";

const char kFaultHelp[] =
    "Faults for the module at ADDR, replacing those from the file; repeat for several modules.\n"
    "FAULTS is a comma-separated list of: silent, refuse, bad_checksum, delay=MS,\n"
    "chunks=BYTES/GAPMS, overlong[=BYTES], no_cr, stray[=HEX], always_busy (Data7810),\n"
    "other_address[=HH], truncate[=N], twice, after_cr[=HEX], echo_garbled (with --echo), none.\n"
    "Example: --fault 3:delay=200,chunks=3/20";

// "12" or "0x0C" for 0..255.
bool ParseAddress(const std::string& text, uint8_t* address) {
  if (text.empty() || text.size() > 5) return false;
  char* end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned long value = strtoul(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (end == nullptr || *end != '\0' || end == text.c_str() + (hex ? 2 : 0) || value > 255) return false;
  *address = static_cast<uint8_t>(value);
  return true;
}

using hostlib::kExitConfig;
using hostlib::kExitInterrupted;
using hostlib::kExitOk;
using hostlib::kExitPort;

int Fail(const std::string& message, int code) {
  fprintf(stderr, "velksim: %s\n", message.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velksim");
  app.set_version_flag("--version", [] { return hostlib::VersionText("velksim"); });
  app.get_formatter()->column_width(34);

  std::string file;
  std::string device;
  uint32_t baud = 0;
  int dataBits = 0;
  std::string parity;
  int stopBits = 0;
  std::vector<std::string> moduleTexts;
  std::vector<std::string> faultTexts;
  bool plain = false;
  uint32_t refreshMs = 250;
  double durationS = 0;
  std::string pathFile;
  std::string linkPath;
  uint16_t tcpPort = 0;
  std::string tcpBind = "127.0.0.1";
  bool pace = false;
  bool echo = false;

  app.add_option("file", file, "TOML file with [[module]] entries and an optional [line] table");

  app.add_option("-m,--module", moduleTexts,
                 "Add a module: ADDR:TYPE[:checksum], ADDR 0..255 or 0x00..0xFF.\n"
                 "Example: -m 1:Velk4017:checksum -m 0x0A:Data7210");
  app.add_option("-f,--fault", faultTexts, kFaultHelp);
  app.add_option("-d,--device", device,
                 "Serve on this serial device instead of a new pseudo-terminal.\nExample: --device /dev/ttyUSB0");
  app.add_option("-b,--baud", baud,
                 "Baud rate on --device and for --pace (default: the file's [line] or 9600).\nExample: -b 19200")
      ->check(CLI::Range(50u, 4000000u));
  app.add_option("--data-bits", dataBits, "Data bits on --device, 5..8 (default 8)")->check(CLI::Range(5, 8));
  app.add_option("--parity", parity, "Parity on --device: none, odd, even, mark, space (default none)")
      ->check(CLI::IsMember(hostlib::ParityNames(), CLI::ignore_case));
  app.add_option("--stop-bits", stopBits, "Stop bits on --device, 1 or 2 (default 1)")->check(CLI::IsMember({1, 2}));
  app.add_flag("--pace", pace,
               "Keep the line's own pace: take in each command byte and send each answer byte\n"
               "only after its frame (start, data, parity, stop bits) has passed at the baud rate,\n"
               "so that a pseudo-terminal behaves like a wire.\nExample: --pace --baud 9600");
  app.add_flag("--echo", echo,
               "Hand every command back, byte for byte, before any answer (also for silent modules),\n"
               "as a two-wire RS-485 adapter does; the file's [line] echo = true does the same.\n"
               "The fault echo_garbled changes one byte of the echo to a module.\nExample: --echo --pace");
  app.add_flag("--plain", plain,
               "Print one line per command and per display change even on a terminal\n"
               "(the default when standard output is not a terminal)");
  app.add_option("--refresh-ms", refreshMs, "How often the view is brought up to date (default 250)")
      ->check(CLI::Range(20u, 10000u));
  app.add_option("--duration", durationS,
                 "End by itself after so many seconds (default: at Ctrl-C).\nExample: --duration 60")
      ->check(CLI::Range(0.0, 1e7));
  app.add_option(
      "--path-file", pathFile,
      "Also write the served line's path into this file, for scripts.\nExample: --path-file /tmp/velksim.path");

  app.add_option("--link", linkPath,
                 "Serve the pseudo-terminal behind this fixed name as well: a symbolic link to it, made\n"
                 "again by every run, so a driver keeps its port name across restarts.\n"
                 "Example: --link /tmp/velk-line");
  app.add_option("--tcp", tcpPort,
                 "Also serve the line on this TCP port, as a device server in raw mode does\n"
                 "(one client at a time). Example: --tcp 4001, then the driver's port tcp:127.0.0.1:4001")
      ->check(CLI::Range(1, 65535));
  app.add_option("--tcp-bind", tcpBind,
                 "Address the --tcp port listens on (default 127.0.0.1, loopback only;\n"
                 "0.0.0.0 opens it to the network)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) { return app.exit(e) == 0 ? 0 : kExitConfig; }
  if (!linkPath.empty() && !device.empty())
    return Fail("--link applies to a pseudo-terminal, not to --device", kExitConfig);

  sim::Bus bus;
  velksim::LineChoice line;
  std::string error;
  if (!file.empty() && !velksim::LoadSimFile(file, &bus, &line, &error)) return Fail(error, kExitConfig);

  for (const std::string& moduleText : moduleTexts) {
    const size_t colon = moduleText.find(':');
    uint8_t address = 0;
    if (colon == std::string::npos || !ParseAddress(moduleText.substr(0, colon), &address))
      return Fail("--module " + moduleText + ": expected ADDR:TYPE[:checksum], e.g. 1:Velk4017", kExitConfig);
    std::string type = moduleText.substr(colon + 1);
    bool checksum = false;
    const size_t second = type.find(':');
    if (second != std::string::npos) {
      if (type.substr(second + 1) != "checksum")
        return Fail("--module " + moduleText + ": only \":checksum\" may follow the type", kExitConfig);
      checksum = true;
      type.resize(second);
    }
    if (bus.Add(type, address, checksum, &error) == nullptr)
      return Fail("--module " + moduleText + ": " + error, kExitConfig);
  }
  for (const std::string& faultText : faultTexts) {
    const size_t colon = faultText.find(':');
    uint8_t address = 0;
    if (colon == std::string::npos || !ParseAddress(faultText.substr(0, colon), &address))
      return Fail("--fault " + faultText + ": expected ADDR:FAULTS, e.g. 3:delay=200", kExitConfig);
    sim::Module* module = bus.At(address);
    if (module == nullptr)
      return Fail("--fault " + faultText + ": no module at address " + faultText.substr(0, colon), kExitConfig);
    sim::Faults faults;
    if (!sim::ParseFaults(faultText.substr(colon + 1), &faults, &error))
      return Fail("--fault " + faultText + ": " + error, kExitConfig);
    if (faults.alwaysBusy && module->kind() != sim::ModuleKind::kData7810)
      return Fail("--fault " + faultText + ": always_busy applies to a Data7810 only", kExitConfig);
    // A module without checksums has none to spoil.
    if (faults.badChecksum && !module->checksum())
      return Fail(
          "--fault " + faultText + ": bad_checksum applies to a module that uses checksums (ADDR:TYPE:checksum)",
          kExitConfig);
    module->SetFaults(faults);
  }
  if (bus.Modules().empty())
    return Fail("no modules: give a file with [[module]] entries or --module (see --help)", kExitConfig);

  if (echo) line.echo = true;
  bus.SetEcho(line.echo);
  if (!device.empty()) line.device = device;
  if (baud != 0) line.settings.baudRate = baud;
  if (dataBits != 0) line.settings.dataBits = static_cast<uint8_t>(dataBits);
  if (!parity.empty()) hostlib::ParityFromName(parity, &line.settings.parity);
  if (stopBits != 0) line.settings.stopBits = stopBits == 2 ? 2 : 1;

  // The relay opens the pseudo-terminal's slave side as a client would; a
  // served device is held by the server itself.
  if (tcpPort != 0 && !line.device.empty())
    return Fail("--tcp serves the pseudo-terminal, not a --device", kExitConfig);

  if (pace && !line.device.empty())
    return Fail("--pace is for the pseudo-terminal: a serial device keeps the line's pace itself", kExitConfig);

  hostlib::InstallStopHandler("velksim");
  sim::Server server(bus);
  if (pace) server.SetPace(&line.settings);
  const bool served = line.device.empty() ? server.ServePseudoTerminal(&error, linkPath)
                                          : server.ServeDevice(line.device, line.settings, &error);
  if (!served) return Fail(error, kExitPort);

  sim::TcpRelay relay;
  if (tcpPort != 0 && !relay.Start(server.path(), tcpBind, tcpPort, &error)) {
    server.Stop();
    return Fail(error, kExitPort);
  }
  printf("velksim: %zu module%s on %s\n", bus.Modules().size(), bus.Modules().size() == 1 ? "" : "s",
         server.path().c_str());
  if (tcpPort != 0) printf("velksim: also on tcp:%s:%u\n", tcpBind.c_str(), static_cast<unsigned>(tcpPort));
  fflush(stdout);
  if (!pathFile.empty()) {
    FILE* f = fopen(pathFile.c_str(), "w");
    if (f == nullptr || fprintf(f, "%s\n", server.path().c_str()) < 0 || fclose(f) != 0) {
      server.Stop();
      return Fail("cannot write the path into " + pathFile, kExitConfig);
    }
  }

  velksim::LiveView view(bus, server.path(), !plain && platform::StandardOutputIsTerminal());
  platform::Clock& clock = platform::SystemClock();
  const uint32_t start = clock.TickMs();
  const uint64_t durationMs = static_cast<uint64_t>(durationS * 1000.0);
  std::string lastError;
  while (!hostlib::StopRequested()) {
    view.Update();
    const std::string lineError = server.lineError();
    if (!lineError.empty() && lineError != lastError) fprintf(stderr, "velksim: %s\n", lineError.c_str());
    lastError = lineError;
    if (durationMs != 0 && static_cast<uint32_t>(clock.TickMs() - start) >= durationMs) break;
    hostlib::SleepUnlessStopped(static_cast<int>(refreshMs));
  }
  relay.Stop();
  server.Stop();
  view.Update();
  view.Finish();
  printf("velksim: ended after %llu commands\n", static_cast<unsigned long long>(bus.CommandCount()));
  return hostlib::StopRequested() ? kExitInterrupted : kExitOk;
}
