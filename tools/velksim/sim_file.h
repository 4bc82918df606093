// The simulator's file: its modules (the [[module]] section shared with the
// test host, see sim/sim_config.h) and an optional [line] table for serving
// a serial device:
//
//   [line]
//   device    = "/dev/ttyUSB0"   # optional; without it a pseudo-terminal
//   baud      = 9600
//   data_bits = 8
//   parity    = "none"           # none, odd, even, mark, space
//   stop_bits = 1                # 1 or 2
//   echo      = true             # every command comes back before its answer
#ifndef VELKSIM_SIM_FILE_H
#define VELKSIM_SIM_FILE_H

#include <string>

#include "sim/bus.h"
#include "sim/server.h"

namespace velksim {

struct LineChoice {
  std::string device;  // empty: a new pseudo-terminal
  sim::LineSettings settings;
  bool echo = false;  // the line hands every command back, as a two-wire adapter does
};

// Reads `path`, adds its modules to `bus` and fills `line` from [line]. A
// test host's line file ([[device]], [[tag]], [simulation]) is read as the
// bus its devices make.
// Messages name the file and line: "sim.toml:12: ...".
bool LoadSimFile(const std::string& path, sim::Bus* bus, LineChoice* line, std::string* error);

}  // namespace velksim

#endif
