// What the driver does with a register, asked of an object without a port:
// a command it cannot build fails as "not built" before the line is needed,
// so nothing is ever sent.
#ifndef VELKHOST_REGISTER_USE_H
#define VELKHOST_REGISTER_USE_H

#include <string>

#include "driver_library.h"

namespace velkhost {
using namespace hostlib;

// "yes" when the driver builds a command for `direction` (0 read, 1 write)
// of `row` of module type `type`, "no" when it does not, "?" when it cannot
// tell (a library without diagnostics). `driver` must have no port open.
const char* BuildsCommand(DriverObject& driver, const std::string& type, const velk::RegisterDef& row, int direction);

}  // namespace velkhost

#endif
