// The commands of velkhost, one file each. Every command returns the
// program's exit status (see ExitCode) and prints its own failures.
#ifndef VELKHOST_COMMANDS_H
#define VELKHOST_COMMANDS_H

#include <string>
#include <vector>

#include "session.h"

namespace velkhost {

// The register table of one module type, or of every known type.
int RunTables(const LibraryOptions& library, const std::string& moduleType);

struct CheckArgs {
  std::string moduleType;
  std::string deviceAddress;
  std::string tagAddress;
  std::string dataType;
};
// A device address and tag address checked as the host checks them.
int RunCheck(const LibraryOptions& library, const CheckArgs& args);

// The packets the host would build for the line's polled tags.
int RunPlan(const LibraryOptions& library, const LineOptions& line, bool json);

struct PollArgs {
  // Only these devices' tags, and only these tags (each empty: all).
  std::vector<std::string> devices;
  std::vector<std::string> tags;
  int cycles = 0;  // 0: until Ctrl-C
  int intervalMs = 1000;
  bool json = false;
  bool csv = false;        // one row per reading
  bool plain = false;      // line-by-line even in a terminal
  bool noBackoff = false;  // ask every device every cycle, answering or not
  // When set, rewritten after every cycle with the cycle count, the packet
  // counts and the library's atom count, for a soak run to sample.
  std::string statsFile;
};
int RunPoll(const LibraryOptions& library, const LineOptions& line, const PollArgs& args);

struct WriteArgs {
  std::string tag;
  std::string value;
  bool readBack = false;
};
int RunWrite(const LibraryOptions& library, const LineOptions& line, const WriteArgs& args);

int RunProbe(const LibraryOptions& library, const LineOptions& line, const std::string& device, bool json);

// A scan's time-out per address, unless given: the time of a command and its
// answer at the line's baud rate and this much for the module to turn
// round. A silent address costs the time-out several times over, as the
// driver asks again, so a short one keeps a scan of every address within a
// minute or two.
const int kScanTimeoutMs = 60;

struct ScanArgs {
  std::vector<std::string> moduleTypes;  // scanned one after the other
  int from = 0;
  int to = 255;
  int timeoutMs = kScanTimeoutMs;  // when given
  bool timeoutGiven = false;
  bool checksum = true;
  bool json = false;
};
int RunScan(const LibraryOptions& library, const LineOptions& line, const ScanArgs& args);

// Which library is loaded, and whether its message library sits beside it.
int RunLibrary(const LibraryOptions& library);

// Lists the serial devices with their /dev/serial/by-id names and drivers.
int RunPorts();

// DllRegisterServer, then the record it wrote.
int RunRegister(const LibraryOptions& library);

}  // namespace velkhost

#endif
