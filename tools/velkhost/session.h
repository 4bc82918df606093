// What every command that talks to a line shares: the driver library and one
// driver object, the line file checked through the driver, and the port
// given to the driver (the built-in simulator's when asked).
#ifndef VELKHOST_SESSION_H
#define VELKHOST_SESSION_H

#include <memory>
#include <string>

#include "driver_library.h"
#include "exit_codes.h"
#include "line_check.h"
#include "line_config.h"
#include "line_setup.h"
#include "packet_plan.h"
#include "simulation.h"

namespace velkhost {
using namespace hostlib;

struct LibraryOptions {
  std::string path;
  std::string programId;
};

struct LineOptions {
  std::string configPath;
  std::string port;  // replaces the file's port name
  bool simulate = false;
  bool pace = false;            // the simulated line keeps the file's baud rate
  bool firstInterface = false;  // ProcessPacket instead of ProcessPacket2
  bool verbose = false;
  bool trace = false;  // every command and answer chunk to stderr, in hex and ASCII
  // Replace the file's [port] settings when given (0, -1 or empty: not given).
  uint32_t baud = 0;
  std::string parity;
  int dataBits = 0;
  int stopBits = 0;
  int timeoutMs = 0;
  int pollDelayMs = -1;
};

// Puts the command line's line settings over the file's.
void ApplyLineOverrides(const LineOptions& line, PortConfig* port);

// Loads the driver library as the options say and creates one driver
// object; prints the reason and returns false when either fails.
bool LoadDriver(const LibraryOptions& options, DriverLibrary* library, std::unique_ptr<DriverObject>* driver);

// Prints "file:line: message" for each problem (or warning) to stderr.
void PrintProblems(const std::string& path, const std::vector<ConfigProblem>& problems, const char* kind);

class LineSession {
 public:
  // Reads the line file, loads the driver and checks every device and tag.
  // Returns an exit code; on anything but kExitOk the reason was printed.
  int Load(const LibraryOptions& library, const LineOptions& line);

  // Starts the simulator when asked, opens the port with `timeoutMs` as the
  // answer time-out (the file's when 0) and writes the poll delay. Returns
  // an exit code; the reason was printed.
  int Connect(int16_t timeoutMs = 0);

  ItemLayout layout() const { return options_.firstInterface ? ItemLayout::kTagItem : ItemLayout::kTagItem2; }
  // The port as given, with the device node it leads to when the host's
  // record could not hold the name itself.
  const std::string& portName() const { return portLabel_; }
  const LineOptions& options() const { return options_; }
  // The answer time-out the port was opened with.
  int16_t timeoutMs() const { return timeoutMs_; }

  // Declared first so that the driver (which closes its port when
  // released) and the library go before the simulated modules stop.
  LineSimulation simulation;
  DriverLibrary library;
  std::unique_ptr<DriverObject> driver;
  LineConfig config;
  CheckedLine checked;
  // The line file itself was read without problems (the driver may still
  // have rejected entries of it).
  bool fileRead = false;

 private:
  LineOptions options_;
  std::string portName_;
  std::string portLabel_;
  int16_t timeoutMs_ = 0;
};

}  // namespace velkhost

#endif
