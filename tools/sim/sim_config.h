// Modules of a bus from TOML. The simulator program reads them from its own
// file; the test host's --simulate reads the same section from a line file.
//
// The section: an array of tables named "module" inside the table handed
// over (the file's root for velksim, the "simulation" table of a line file):
//
//   [[module]]
//   address  = 1            # 0..255 (TOML takes 0x1A as well)
//   type     = "Velk4017"   # any "Velk" type, "Data7810" or "Data7210"
//   checksum = true         # optional, false by default; never for Data types
//   name     = "4017"       # optional: the "$AAM" answer after "!AA"
//   version  = "A1.06"      # optional: the "$AAF" answer after "!AA"
//   fault    = "delay=200,chunks=3/20"   # optional, see faults.h; also as
//                           # a table: { delay = 200, chunks = "3/20", silent = true }
//   values   = { ai = [1.5, { sine = [5.0, 2.0], period_s = 10 }], di = 0x0F }
//
// A Data7210 entry is one display; its address is the display's address
// (the channel of the host's tags).
//
// An analog value ("source") is a number, or a table that moves:
//   { ramp = [from, to], period_s = 20 }   climbs from `from` to `to`, again
//   { sine = [middle, amplitude], period_s = 10 }
// period_s is optional (10 s).
//
// Keys of `values` and the types they apply to (any other key is an error):
//   ai            array of sources   Velk4011 (1), Velk4017 family (8),
//                                    Velk4015 (6: NVALUE channels 1-6)
//   cjc           source             Velk4011 and Velk4017 families
//   cjc_offset    integer            Velk4011 and Velk4017 families
//   ao            array of numbers   Velk4021 (1), Velk4024 (4)
//   startup_out, emergency_out       array of numbers, Velk4024 (4)
//   nc, oc        array of integers  Velk4024 (4), 0..255
//   di            integer bit mask   Velk4024, Velk4051, Velk4050 families, Data7810
//   do            integer bit mask   Velk4011, Velk4050, Velk4080 families, Data7810
//   alarm         "off", "momentary" or "latched"   Velk4011 family
//   alarm_high, alarm_low  numbers   Velk4011 family
//   event_counter integer            Velk4011 family
//   mp            integer 0..255     Velk4017 family
//   counter, max_counter, initial_counter, alarm_limit
//                 arrays of 2 integers          Velk4080 family
//   count_rate    array of 2 numbers (counts per second)   Velk4080 family
//   counting      array of 2 booleans           Velk4080 family
//   alarm_enable  integer 0..3; input_mode 0..1; gate_mode 0..2   Velk4080 family
//   raw           integer -32768..32767 ("ADATAIN")  Velk4015
//   multiplier, diagnostic  integers 0..255          Velk4015
//   temp          array of sources or "invalid"      Data7810 (8)
//   busy_reads    integer: temperature reads answered "N" first   Data7810
//   baud_code, format  integers 0..255   every type ("$AA2" answer)
//
// Errors name the file (when known) and the line: "sim.toml:12: ...".
#ifndef VELK_SIM_SIM_CONFIG_H
#define VELK_SIM_SIM_CONFIG_H

#include <string>

#include <toml++/toml.h>

#include "sim/bus.h"

namespace sim {

// Adds one module described by `entry` (one table of the array).
bool AddModuleFromToml(const toml::table& entry, Bus* bus, std::string* error);

// Adds every module of the "module" array of `holder`. A holder without the
// array adds nothing and succeeds. Stops at the first error.
bool AddModulesFromToml(const toml::table& holder, Bus* bus, std::string* error);

// Parses `text` (named `sourceName` in messages) and adds its modules.
bool AddModulesFromTomlText(const std::string& text, const std::string& sourceName, Bus* bus, std::string* error);

// Reads one value source as described above; `where` prefixes messages.
bool ValueSourceFromToml(const toml::node& node, ValueSource* source, std::string* error);

}  // namespace sim

#endif
