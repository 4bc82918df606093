// What a host can learn about a module that answered a probe: the probe's
// own answer is not handed back, so the module's name is read the ordinary
// way, through a read packet of the register that carries it.
#ifndef VELKHOST_MODULE_IDENTITY_H
#define VELKHOST_MODULE_IDENTITY_H

#include <string>

#include "driver_library.h"
#include "line_config.h"

namespace velkhost {
using namespace hostlib;

// The register that carries the name of a `moduleType` module at `address`:
// the module type to ask it as, its tag address and data type. "Name" of a
// Data7810, "MdNameM<address>" of a Data7210; every "Velk" module answers
// the probe line "$" AA "M" with its model, which only the Velk4015 table
// offers as a register ("MODULE"), so any "Velk" module is asked as one.
// False when the type is unknown.
bool NameRegisterOf(const std::string& moduleType, int address, std::string* queryType, std::string* tagAddress,
                    int16_t* dataType);

struct ModuleName {
  bool answered = false;  // the read packet succeeded
  std::string text;       // the name; "" when the answer carried none
  // The driver's outcome of the read (kOutcomeCount: not known).
  int32_t reason = velk::kOutcomeCount;
};

// Reads the name register of a module at `address` (device address text
// `deviceAddress`) through a one-tag packet. Not answered when the type has
// no name register or the read failed.
ModuleName ReadModuleName(DriverLibrary& library, DriverObject& driver, const PortConfig& port,
                          const std::string& moduleType, int address, const std::string& deviceAddress,
                          bool firstInterface);

}  // namespace velkhost

#endif
