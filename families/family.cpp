#include "families/family.h"

#include "protocol/module_types.h"

namespace families {

int32_t HasNoAlarm(Bus&, const char*, int32_t) { return 1; }

const Family& FamilyFor(const char* moduleType, size_t maxLength) {
  switch (protocol::ModelGroupOf(moduleType, maxLength)) {
    case protocol::ModelGroup::kData7810: return kData7810;
    case protocol::ModelGroup::kData7210: return kData7210;
    default: return kVelk;
  }
}

}  // namespace families
