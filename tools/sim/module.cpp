#include "sim/module.h"

#include "sim/data7210_display.h"
#include "sim/data7810_module.h"
#include "sim/velk_module.h"
#include "sim/velk_types.h"

namespace sim {

Module::Module(ModuleKind kind, std::string typeName, uint8_t address, bool checksum)
    : kind_(kind), typeName_(std::move(typeName)), address_(address), checksum_(checksum) {}

Faults Module::faults() const {
  std::lock_guard<std::mutex> lock(faultsMutex_);
  return faults_;
}

void Module::SetFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(faultsMutex_);
  faults_ = faults;
}

void Module::Broadcast(const std::string&, const LineContext&) {}

std::unique_ptr<Module> MakeModule(const std::string& typeName, uint8_t address, bool checksum, std::string* error) {
  const bool d7810 = SameName(typeName, "Data7810");
  const bool d7210 = SameName(typeName, "Data7210");
  if (d7810 || d7210) {
    if (checksum) {
      if (error != nullptr) *error = std::string(d7810 ? "Data7810" : "Data7210") + " modules use no checksum";
      return nullptr;
    }
    if (d7810) return std::unique_ptr<Module>(new Data7810Module(address));
    return std::unique_ptr<Module>(new Data7210Display(address));
  }
  if (FindVelkType(typeName) == nullptr) {
    if (error != nullptr) {
      std::string known;
      for (const std::string& name : KnownModuleTypes()) known += (known.empty() ? "" : ", ") + name;
      *error = "unknown module type \"" + typeName + "\"; known are " + known;
    }
    return nullptr;
  }
  return VelkModule::Create(typeName, address, checksum, error);
}

const std::vector<std::string>& KnownModuleTypes() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (size_t i = 0; i < kVelkTypeCount; ++i) all.push_back(kVelkTypes[i].name);
    all.push_back("Data7810");
    all.push_back("Data7210");
    return all;
  }();
  return names;
}

}  // namespace sim
