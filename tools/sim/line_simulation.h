// A line file's devices played as modules: each [[device]] at its address
// (a Data7210 at every display its tags name), with the settings of its
// [simulation.NAME] table, and any extra [[simulation.module]]. Shared by
// velkhost --simulate and velksim, which both read line files.
#ifndef VELK_SIM_LINE_SIMULATION_H
#define VELK_SIM_LINE_SIMULATION_H

#include <string>
#include <vector>

#include <toml++/toml.h>

#include "sim/bus.h"

namespace sim {

struct LineDevice {
  std::string name;
  std::string type;                       // module type name
  std::string address;                    // device address text: "N" with checksums, "N.M" without
  std::vector<std::string> tagAddresses;  // of its tags, for the displays a Data7210 plays
  int line = 0;                           // of its [[device]] entry
};

// Reads the [[device]] and [[tag]] entries of a line file's `root`, only as
// far as playing them needs. Problems are appended as "path:line: message".
void ReadLineDevices(const toml::table& root, const std::string& path, std::vector<LineDevice>* devices,
                     std::vector<std::string>* problems);

// Adds the modules that play `devices` to `bus`, configured by the
// [simulation] table of `root` (devices without a table answer with
// defaults). Every problem found is appended; true when there was none.
// `root` is modified: a device's table is completed with its type, address
// and checksum use before it is read.
bool AddLineModules(toml::table& root, const std::string& path, const std::vector<LineDevice>& devices, Bus* bus,
                    std::vector<std::string>* problems);

}  // namespace sim

#endif
