// The module type names a host offers when a person adds a device. The
// driver has no list of its own to give; it answers for one name at a time.
#ifndef VELKHOST_MODULE_NAMES_H
#define VELKHOST_MODULE_NAMES_H

#include <string>
#include <vector>

namespace velkhost {

const std::vector<std::string>& ModuleTypeNames();

}  // namespace velkhost

#endif
