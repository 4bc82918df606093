// Whether a tag may join an open "Velk" packet: the general rule, as wide as
// the module type's row allows, or never.
#include "families/velk.h"
#include "protocol/merge_rule.h"
#include "protocol/module_types.h"

namespace families {

// A module type whose merge span is 0 has every tag travel in a packet of its
// own; the others take the general rule, reads widening up to their span.
int32_t CanMergeVelk(const velk::TagDef& tag, int32_t direction, velk::Packet& packet,
                     const protocol::ModuleType& type) {
  return type.mergeSpan > 0 ? protocol::ApplyGeneralMergeRule(tag, direction, packet, type.mergeSpan) : 0;
}

}  // namespace families
