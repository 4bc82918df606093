#include "families/family.h"

#include "protocol/module_types.h"

namespace families {

int32_t HasNoAlarm(Bus&, const protocol::ModuleType&, int32_t) { return 1; }

const Family& FamilyOf(protocol::ModelGroup group) {
  switch (group) {
    case protocol::ModelGroup::kData7810: return kData7810;
    case protocol::ModelGroup::kData7210: return kData7210;
    default: return kVelk;
  }
}

const Family& FamilyFor(const char* moduleType, size_t maxLength) {
  return FamilyOf(protocol::ModelGroupOf(moduleType, maxLength));
}

}  // namespace families
