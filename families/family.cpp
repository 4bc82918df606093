#include "families/family.h"

#include "protocol/module_types.h"

namespace families {

int32_t HasNoAlarm(Bus&, const char*, int32_t) { return 1; }

const Family& FamilyFor(const char* moduleType, size_t maxLength) {
  switch (protocol::FamilyOf(moduleType, maxLength)) {
    case protocol::Family::kData7810: return kData7810;
    case protocol::Family::kData7210: return kData7210;
    default: return kVelk;
  }
}

}  // namespace families
