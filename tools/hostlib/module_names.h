// The module type names a host offers when a person adds a device. The
// driver has no list of its own to give; it answers for one name at a time.
#ifndef VELK_HOSTLIB_MODULE_NAMES_H
#define VELK_HOSTLIB_MODULE_NAMES_H

#include <string>
#include <vector>

namespace hostlib {

const std::vector<std::string>& ModuleTypeNames();

}  // namespace hostlib

#endif
