// Notice of a serial port's device node coming back. A program that lost a
// port retries on a short period anyway; where the system tells of new
// device nodes (Linux: inotify on the node's directory), the watch calls
// back at once, so a re-plugged adapter or a restarted peer is opened
// without waiting for the period. Elsewhere it never calls back.
#ifndef VELK_HOSTLIB_PORT_WATCH_H
#define VELK_HOSTLIB_PORT_WATCH_H

#include <functional>
#include <memory>
#include <string>

namespace hostlib {

class PortWatch {
 public:
  // Watches the directory of `portName` (or, while that is missing, the
  // nearest one above it that exists). `appeared` runs on the watch's own
  // thread after every change there; it must not wait.
  PortWatch(const std::string& portName, std::function<void()> appeared);
  ~PortWatch();
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  // False where the system gives no notice: only the period helps.
  bool watching() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace hostlib

#endif
