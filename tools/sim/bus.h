// The simulated RS-485 bus: a set of modules at addresses. It takes one
// complete command line at a time, routes it by its lead character and the
// address in positions 1-2 to the module there, and gives back what that
// module puts on the line, faults applied. A line for no module, or one
// that is not a command, gets nothing. "#**" is a broadcast to every module
// and is never answered. A bus that echoes (SetEcho) hands every line back,
// byte for byte, before any answer, as a two-wire adapter does; a module
// with the echo_garbled fault gets the echo of its commands with one byte
// changed.
//
// A record of the last lines received (with what was answered) is kept for
// tests and viewers. Every public call is thread-safe; modules are owned by
// the bus and live as long as it does.
#ifndef VELK_SIM_BUS_H
#define VELK_SIM_BUS_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/data7210_display.h"
#include "sim/data7810_module.h"
#include "sim/module.h"
#include "sim/reply.h"
#include "sim/velk_module.h"

namespace sim {

struct CommandRecord {
  uint64_t sequence = 0;  // 1 for the first line the bus received
  uint32_t atMs = 0;      // milliseconds since the bus started
  std::string command;    // as received, carriage return included
  std::string answer;     // as sent, faults applied; empty when none
  int address = -1;       // the module that took it, -1 for none
  std::string note;       // "broadcast", "no module", "bad checksum", ...
};

class Bus {
 public:
  explicit Bus(platform::Clock& clock = platform::SystemClock());
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Adds a module; fails with a message when its address is taken.
  bool Add(std::unique_ptr<Module> module, std::string* error = nullptr);
  // Shorthand for MakeModule + Add; returns the module or null.
  Module* Add(const std::string& typeName, uint8_t address, bool checksum = false, std::string* error = nullptr);

  Module* At(uint8_t address) const;
  // The module at `address` if it is of that kind, else null.
  VelkModule* Velk(uint8_t address) const;
  Data7810Module* Data7810(uint8_t address) const;
  Data7210Display* Display(uint8_t address) const;
  std::vector<Module*> Modules() const;  // in the order they were added

  // One complete line, carriage return included (a line without one is
  // taken as it is). Returns the reply; empty when nothing answers.
  Reply Handle(const char* line, size_t length);
  Reply Handle(const std::string& line) { return Handle(line.data(), line.size()); }
  // Echoes every line from the next one on.
  void SetEcho(bool echo) { echo_ = echo; }
  bool echo() const { return echo_; }

  // The last `max` records, oldest first.
  std::vector<CommandRecord> Recent(size_t max = 64) const;
  uint64_t CommandCount() const;
  // Records whose command equals `command` exactly, in order.
  std::vector<CommandRecord> Find(const std::string& command) const;
  void ClearRecord();

  // Milliseconds since the bus was created.
  uint32_t NowMs() const;

 private:
  Module* AtLocked(uint8_t address) const;
  // The answer alone, as the line would carry it without echo.
  Reply Answer(CommandRecord record);
  // The line as it comes back: changed in one byte for a module whose
  // echo is garbled.
  std::string EchoOf(const std::string& command) const;
  void Record(CommandRecord record);

  platform::Clock& clock_;
  const uint32_t startTick_;
  mutable std::mutex modulesMutex_;
  std::vector<std::unique_ptr<Module>> modules_;
  mutable std::mutex recordMutex_;
  std::deque<CommandRecord> record_;
  uint64_t sequence_ = 0;
  std::atomic<bool> echo_{false};
};

}  // namespace sim

#endif
