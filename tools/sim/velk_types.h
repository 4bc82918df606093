// The "Velk" type names the simulator plays, with their command family.
#ifndef VELK_SIM_VELK_TYPES_H
#define VELK_SIM_VELK_TYPES_H

#include <stddef.h>

#include <string>

#include "sim/velk_module.h"

namespace sim {

struct VelkTypeRow {
  const char* name;  // canonical spelling
  VelkFamily family;
};

extern const VelkTypeRow kVelkTypes[];
extern const size_t kVelkTypeCount;

// The row of a type name, case ignored; null when it is none.
const VelkTypeRow* FindVelkType(const std::string& typeName);

// True when the two names are equal, case ignored.
bool SameName(const std::string& a, const std::string& b);

}  // namespace sim

#endif
