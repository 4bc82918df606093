#include "session.h"

#include <stdio.h>
#include <strings.h>

#include <algorithm>

#include "line_setup.h"
#include "line_trace.h"

namespace velkhost {
using namespace hostlib;

bool LoadDriver(const LibraryOptions& options, DriverLibrary* library, std::unique_ptr<DriverObject>* driver) {
  bool loaded = false;
  if (!options.path.empty())
    loaded = library->LoadPath(options.path);
  else if (!options.programId.empty())
    loaded = library->LoadProgramId(options.programId);
  else
    loaded = library->LoadDefault();
  if (!loaded) {
    fprintf(stderr, "velkhost: %s\n", library->error().c_str());
    return false;
  }
  *driver = library->CreateDriver();
  if (*driver == nullptr) {
    fprintf(stderr, "velkhost: %s\n", library->error().c_str());
    return false;
  }
  return true;
}

void PrintProblems(const std::string& path, const std::vector<ConfigProblem>& problems, const char* kind) {
  for (const ConfigProblem& p : problems) {
    if (p.line > 0)
      fprintf(stderr, "%s:%d: %s%s\n", path.c_str(), p.line, kind, p.message.c_str());
    else
      fprintf(stderr, "%s: %s%s\n", path.c_str(), kind, p.message.c_str());
  }
}

void ApplyLineOverrides(const LineOptions& line, PortConfig* port) {
  if (line.baud > 0) port->baud = line.baud;
  for (uint8_t code = 0; code < 5 && !line.parity.empty(); ++code)
    if (strcasecmp(line.parity.c_str(), ParityName(code)) == 0) port->parity = code;
  if (line.dataBits > 0) port->dataBits = static_cast<uint8_t>(line.dataBits);
  if (line.stopBits > 0) port->stopBits = static_cast<int16_t>(line.stopBits);
  if (line.timeoutMs > 0) port->timeoutMs = static_cast<int16_t>(line.timeoutMs);
  if (line.pollDelayMs >= 0) {
    port->hasPollDelay = true;
    port->pollDelayMs = static_cast<uint16_t>(line.pollDelayMs);
  }
}

int LineSession::Load(const LibraryOptions& libraryOptions, const LineOptions& line) {
  options_ = line;
  std::vector<ConfigProblem> problems;
  fileRead = LoadLineConfig(line.configPath, &config, &problems);
  if (!config.parsed) {
    PrintProblems(line.configPath, problems, "");
    fprintf(stderr, "velkhost: %s has errors; nothing was sent\n", line.configPath.c_str());
    return kExitConfig;
  }
  ApplyLineOverrides(line, &config.port);
  if (!LoadDriver(libraryOptions, &library, &driver)) {
    PrintProblems(line.configPath, problems, "");
    return kExitConfig;
  }
  // The driver judges what could be read even when the file has findings
  // of its own, so that one run names every problem.
  const size_t fileProblems = problems.size();
  std::vector<ConfigProblem> warnings;
  const bool accepted = CheckLine(driver->d, config, &checked, &problems, &warnings);
  PrintProblems(line.configPath, warnings, "warning: ");
  if (!fileRead || !accepted) {
    std::stable_sort(problems.begin(), problems.end(),
                     [](const ConfigProblem& a, const ConfigProblem& b) { return a.line < b.line; });
    PrintProblems(line.configPath, problems, "");
    if (fileProblems > 0)
      fprintf(stderr, "velkhost: %s has %zu problem%s; nothing was sent\n", line.configPath.c_str(), problems.size(),
              problems.size() == 1 ? "" : "s");
    else
      fprintf(stderr, "velkhost: the driver rejected %zu entr%s of %s; the port was not opened\n", problems.size(),
              problems.size() == 1 ? "y" : "ies", line.configPath.c_str());
    return kExitConfig;
  }
  return kExitOk;
}

int LineSession::Connect(int16_t timeoutMs) {
  portName_ = options_.port.empty() ? config.port.name : options_.port;
  if (options_.simulate) {
    std::string error;
    if (!simulation.Build(config, &error)) {
      fprintf(stderr, "velkhost: %s\nvelkhost: the [simulation] section has errors; nothing was started\n",
              error.c_str());
      return kExitConfig;
    }
    if (!simulation.Serve(&error, options_.pace ? &config.port : nullptr)) {
      fprintf(stderr, "velkhost: cannot start the simulator: %s\n", error.c_str());
      return kExitPort;
    }
    portName_ = simulation.portName();
    if (options_.verbose) fprintf(stderr, "velkhost: simulated line on %s\n", portName_.c_str());
  }
  if (portName_.empty()) {
    fprintf(stderr,
            "velkhost: no serial port: give [port] name in %s, --port NAME, or --simulate for the built-in "
            "simulator\n",
            config.path.c_str());
    return kExitConfig;
  }
  std::string error;
  std::string note;
  const std::string given = portName_;
  if (!ShortPortName(portName_, &portName_, &note, &error)) {
    fprintf(stderr, "velkhost: %s\n", error.c_str());
    return kExitConfig;
  }
  portLabel_ = note.empty() ? portName_ : given + " (" + portName_ + ")";
  if (!note.empty()) fprintf(stderr, "velkhost: %s\n", note.c_str());
  // A command line's own time-out wins over the one the command asks for.
  const int16_t answerTimeout =
      options_.timeoutMs > 0 ? config.port.timeoutMs : (timeoutMs > 0 ? timeoutMs : config.port.timeoutMs);
  timeoutMs_ = answerTimeout;
  const velk::PortSettings settings = MakePortSettings(config.port, portName_, answerTimeout);
  if (options_.trace) StartLineTrace(*driver);
  if (!OpenLine(*driver, settings, &error)) {
    if (!note.empty()) error = "port " + given + ": " + error;
    fprintf(stderr, "velkhost: %s\n", error.c_str());
    return kExitPort;
  }
  if (options_.verbose)
    fprintf(stderr, "velkhost: %s open, %s\n", portLabel_.c_str(), DescribeSettings(settings).c_str());
  if (config.port.hasPollDelay &&
      !WritePollDelay(driver->d, driver->d2, config, checked, config.port.pollDelayMs, layout(), &error))
    fprintf(stderr, "velkhost: warning: poll_delay_ms not applied: %s\n", error.c_str());
  return kExitOk;
}

}  // namespace velkhost
