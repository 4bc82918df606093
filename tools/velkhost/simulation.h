// The built-in simulator behind --simulate: the line file's devices played
// as modules on a new pseudo-terminal, their values from the file's
// [simulation] section, so that every command runs without hardware.
#ifndef VELKHOST_SIMULATION_H
#define VELKHOST_SIMULATION_H

#include <memory>
#include <string>
#include <vector>

#include "line_config.h"

namespace sim {
class Bus;
class Server;
}  // namespace sim

namespace velkhost {
using namespace hostlib;

class LineSimulation {
 public:
  LineSimulation();
  ~LineSimulation();
  LineSimulation(const LineSimulation&) = delete;
  LineSimulation& operator=(const LineSimulation&) = delete;

  // Builds the modules of the line's devices with the file's [simulation]
  // settings. Returns false with a message naming the file's line.
  bool Build(const LineConfig& config, std::string* error);
  // The same, with every problem found (a line each, naming the file's line).
  bool Build(const LineConfig& config, std::vector<std::string>* problems);

  // Serves the built modules on a new pseudo-terminal; with `pace`, one
  // frame a byte at its baud rate, as a wire would.
  bool Serve(std::string* error, const PortConfig* pace = nullptr);

  // The pseudo-terminal the driver opens as its serial port.
  const std::string& portName() const { return portName_; }
  // The simulated modules and their line, once built (nullptr before).
  sim::Bus* bus();
  sim::Server* server();

 private:
  struct Running;
  std::unique_ptr<Running> running_;
  std::string portName_;
};

}  // namespace velkhost

#endif
