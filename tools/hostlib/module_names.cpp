#include "module_names.h"

#include <strings.h>

namespace hostlib {
namespace {

using F = ModuleFamily;

const ModuleTypeRow kModuleTypes[] = {
    {"Velk4011", F::kVelk},     {"Velk4011D", F::kVelk},    {"Velk4012", F::kVelk},  {"Velk4013", F::kVelk},
    {"Velk4014D", F::kVelk},    {"Velk4016", F::kVelk},     {"Velk4017", F::kVelk},  {"Velk4017+", F::kVelk},
    {"Velk4018", F::kVelk},     {"Velk4018+", F::kVelk},    {"Velk4018M", F::kVelk}, {"Velk4019", F::kVelk},
    {"Velk4021", F::kVelk},     {"Velk4024", F::kVelk},     {"Velk4050", F::kVelk},  {"Velk4052", F::kVelk},
    {"Velk4055", F::kVelk},     {"Velk4060", F::kVelk},     {"Velk4068", F::kVelk},  {"Velk4051", F::kVelk},
    {"Velk4053", F::kVelk},     {"Velk4080", F::kVelk},     {"Velk4080D", F::kVelk}, {"Velk4015", F::kVelk},
    {"Data7810", F::kData7810}, {"Data7210", F::kData7210},
};

}  // namespace

const std::vector<std::string>& ModuleTypeNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const ModuleTypeRow& row : kModuleTypes) all.emplace_back(row.name);
    return all;
  }();
  return names;
}

const ModuleTypeRow* FindModuleType(const std::string& name) {
  for (const ModuleTypeRow& row : kModuleTypes)
    if (strcasecmp(row.name, name.c_str()) == 0) return &row;
  return nullptr;
}

ModuleFamily FamilyOfType(const std::string& name) {
  const ModuleTypeRow* row = FindModuleType(name);
  return row != nullptr ? row->family : ModuleFamily::kVelk;
}

}  // namespace hostlib
