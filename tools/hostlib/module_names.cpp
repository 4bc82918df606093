#include "module_names.h"

namespace hostlib {

const std::vector<std::string>& ModuleTypeNames() {
  static const std::vector<std::string> names = {
      "Velk4011",  "Velk4011D", "Velk4012", "Velk4013", "Velk4014D", "Velk4016", "Velk4017", "Velk4017+", "Velk4018",
      "Velk4018+", "Velk4018M", "Velk4019", "Velk4021", "Velk4024",  "Velk4050", "Velk4052", "Velk4055",  "Velk4060",
      "Velk4068",  "Velk4051",  "Velk4053", "Velk4080", "Velk4080D", "Velk4015", "Data7810", "Data7210",
  };
  return names;
}

}  // namespace hostlib
