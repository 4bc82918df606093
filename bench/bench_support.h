// What the side-by-side benchmarks share: a module on the master side of a
// pseudo-terminal that answers every complete request with a canned answer
// (at once or after a turnaround), the bare exchange the driver is measured
// against (write, poll, read and nothing else), per-call percentiles and
// the CPU time of the calling thread.
#ifndef VELK_BENCH_BENCH_SUPPORT_H
#define VELK_BENCH_BENCH_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/line_driver.h"
#include "platform/pseudo_terminal.h"
#include "velk4000/velk4000.h"

namespace bench {

// Length of the first complete request at the start of `pending`, 0 while
// it is incomplete.
using Framer = std::function<size_t(const std::string& pending)>;
size_t VelkFrame(const std::string& pending);  // up to the carriage return

// A pseudo-terminal whose master side answers each request with `answer`,
// `turnaroundUs` after the request was complete. Requests and answers are
// handled the same way whatever the protocol, so that the masters compared
// face the same far end.
class CannedModule {
 public:
  CannedModule(Framer framer, std::string answer, uint32_t turnaroundUs = 0);
  ~CannedModule();
  CannedModule(const CannedModule&) = delete;
  CannedModule& operator=(const CannedModule&) = delete;

  bool ok() const { return ok_; }
  const std::string& path() const { return terminal_.slavePath(); }

 private:
  void Run();

  platform::PseudoTerminal terminal_;
  Framer framer_;
  std::string answer_;
  uint32_t turnaroundUs_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A serial port opened with plain system calls: raw, `baud`, non-blocking.
class BarePort {
 public:
  BarePort() = default;
  ~BarePort();
  BarePort(const BarePort&) = delete;
  BarePort& operator=(const BarePort&) = delete;
  bool Open(const std::string& path, uint32_t baud);
  // Writes `command` and reads until a read ends with a carriage return, or
  // `timeoutMs` pass without a byte. Returns the answer's length, 0 on
  // failure. One write, then one poll and one read per piece of the answer.
  size_t Exchange(const std::string& command, int timeoutMs = 1000);
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  char buffer_[600];
};

// The module's answer to `command` as the simulator's `type` module at
// `address` gives it (checksums off).
std::string SimulatorAnswer(const char* type, int address, const std::string& command);

// A host packet of one item, laid out as the host lays it out, for a device
// with or without checksums.
struct OneItemPacket {
  velk::DeviceRecord device{};
  velk::TagItem2 item{};
  velk::PtrListNode node{};
  velk::Packet packet{};
  OneItemPacket(const char* type, const char* registerName, int16_t registerCode, int16_t channel, int16_t dataType,
                int16_t address, bool checksums = false);
  OneItemPacket(const OneItemPacket&) = delete;
};

// A driver object on `path` at `baud`, with the first wait after a command
// set to 0 ms, reading channel 3 of a Velk4017 at address 1 ("#013").
class DriverLine {
 public:
  bool Open(const std::string& path, uint32_t baud);
  bool Read() { return driver_.ProcessPacket2(&read_.packet) == 1; }
  static const char* Command() { return "#013\r"; }

 private:
  driver::LineDriver driver_;
  OneItemPacket read_{"Velk4017", "AI", 0, 3, velk::kTypeFloat, 1};
};

// The value at fraction `p` (0..1) of the sorted samples.
double Percentile(std::vector<double> samples, double p);

// CPU time (user and system) of the calling thread, in microseconds.
double ThreadCpuUs();

}  // namespace bench

#endif
