// A pseudo-terminal pair: the master side is held by a program that plays
// the modules of a bus, the slave side is opened by the driver as its serial
// port.
#ifndef VELK_PLATFORM_PSEUDO_TERMINAL_H
#define VELK_PLATFORM_PSEUDO_TERMINAL_H

#include <string>

#include "platform/serial_api.h"

namespace platform {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal() { Close(); }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Creates the pair in raw mode (no echo, no line editing, no CR/LF
  // translation). The master is non-blocking. Returns false with the
  // system's reason in error().
  bool Create();
  // Also makes `linkPath` a symbolic link to the slave, replacing a link of
  // that name left by an earlier run, so that a driver given the link's
  // name reaches each new pair. Close removes it. False with error().
  bool Link(const std::string& linkPath);
  void Close();

  Handle master() const { return master_; }
  // Hands the master over to the caller, who closes it from then on (for
  // instance by adopting it as a port); master() is kNoHandle after.
  Handle TakeMaster() {
    const Handle master = master_;
    master_ = kNoHandle;
    return master;
  }
  const std::string& slavePath() const { return slavePath_; }
  const std::string& error() const { return error_; }

 private:
  Handle master_ = kNoHandle;
  // Kept open so that the master never sees a hang-up between the driver's
  // openings of the slave.
  Handle slaveKeeper_ = kNoHandle;
  std::string slavePath_;
  std::string linkPath_;
  std::string error_;
};

}  // namespace platform

#endif
