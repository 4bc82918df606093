// Serves a bus on a line: a new pseudo-terminal (the driver opens its slave
// side as its serial port) or a serial device. A background thread reads
// what arrives, frames commands at the carriage return, hands each to the
// bus and writes the replies, honouring their pauses without holding up the
// lines that arrive meanwhile. Start and Stop are bounded: the thread wakes
// at least every 20 ms.
//
// Paced (SetPace), the line keeps a serial line's own speed: every byte of
// a command counts as received only once its frame (start, data, parity and
// stop bits) has passed at the line's baud rate, and every byte of an
// answer is written when its frame would have ended. A pseudo-terminal then
// behaves like a wire at that rate; unpaced, it carries bytes at once.
#ifndef VELK_SIM_SERVER_H
#define VELK_SIM_SERVER_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/pseudo_terminal.h"
#include "platform/serial_api.h"
#include "sim/bus.h"

namespace sim {

// The framing of a serial device the simulator serves.
using LineSettings = platform::LineSettings;

// Time one byte takes on the wire: start bit, data bits, parity bit if any,
// stop bits; 0 for a baud rate of 0.
uint64_t ByteTimeNs(const LineSettings& settings);

class Server {
 public:
  explicit Server(Bus& bus, platform::SerialApi& api = platform::SystemSerialApi(),
                  platform::Clock& clock = platform::SystemClock());
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates a pseudo-terminal and serves on it; path() is the slave's path,
  // or `linkPath` when given: a symbolic link to the slave made for this
  // run, so that a simulator started again is found under the same name.
  bool ServePseudoTerminal(std::string* error, const std::string& linkPath = std::string());
  // Opens (exclusively) and configures a serial device and serves on it.
  // The message tells a device that does not exist from one that is held.
  bool ServeDevice(const std::string& path, const LineSettings& settings, std::string* error);
  // Paces the line at `settings` from the next Serve on; nullptr: unpaced.
  void SetPace(const LineSettings* settings);
  // Stops the thread and closes what Serve opened. Safe to call twice.
  void Stop();

  bool serving() const { return thread_.joinable(); }
  const std::string& path() const { return path_; }
  uint64_t bytesReceived() const { return bytesIn_.load(); }
  uint64_t bytesSent() const { return bytesOut_.load(); }
  // The last write or read error of the line, "" when none.
  std::string lineError() const;

 private:
  void Run();
  void RunPaced();
  void NoteError(const char* what);

  Bus& bus_;
  platform::SerialApi& api_;
  platform::Clock& clock_;
  platform::PseudoTerminal terminal_;
  // The line served: the pseudo-terminal's master or the device opened.
  std::unique_ptr<platform::Port> port_;
  uint64_t byteNs_ = 0;  // 0: unpaced
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytesIn_{0};
  std::atomic<uint64_t> bytesOut_{0};
  mutable std::mutex errorMutex_;
  std::string lineError_;
};

}  // namespace sim

#endif
