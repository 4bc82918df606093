// Placeholder until the merge rules are built.
#include "driver/velk4000_pro.h"
namespace driver {
int32_t CVelk4000Pro::CanMerge(const velk::TagDef*, int32_t, velk::Packet*) { return 0; }
}  // namespace driver
