// The module types a host offers when a person adds a device, one row each
// with the family that serves it: the host's view of the driver's own type
// rows. The driver has no list of its own to give; it answers for one name
// at a time. Nothing else in the host programs compares a type's name.
#ifndef VELK_HOSTLIB_MODULE_NAMES_H
#define VELK_HOSTLIB_MODULE_NAMES_H

#include <string>
#include <vector>

namespace hostlib {

// The three families of module types, each with a command path of its own.
enum class ModuleFamily { kVelk, kData7810, kData7210 };

struct ModuleTypeRow {
  const char* name;  // compared in full, ignoring case
  ModuleFamily family;
};

const std::vector<std::string>& ModuleTypeNames();

// The row of a type name, ignoring case; null for an unknown name.
const ModuleTypeRow* FindModuleType(const std::string& name);

// The family of a type name; an unknown name is taken as "Velk", as the
// driver does.
ModuleFamily FamilyOfType(const std::string& name);

// A Data7810 or a Data7210: a module with a command path of its own.
inline bool IsDataModule(const std::string& name) { return FamilyOfType(name) != ModuleFamily::kVelk; }

}  // namespace hostlib

#endif
