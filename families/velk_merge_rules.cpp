// Whether a tag may join an open "Velk" packet: the general rule, with module
// types that merge wider or never.
#include "families/velk.h"
#include "protocol/merge_rule.h"
#include "protocol/module_types.h"

namespace families {
namespace {

struct MergeRow {
  const char* moduleType;
  bool merges;        // false: every tag travels in a packet of its own
  int32_t spanLimit;  // reads may widen up to this many channels
};

// Searched in order; a module type not listed takes the general rule with a
// span limit of 1, so its read packets never widen.
const MergeRow kMergeRows[] = {
    {"Velk4055", true, 10},
    {"Velk4015", false, 0},
};
const MergeRow kOtherModules = {nullptr, true, 1};

const MergeRow& MergeRowOf(const char* moduleType) {
  for (const MergeRow& row : kMergeRows)
    if (protocol::SameTypeName(moduleType, row.moduleType)) return row;
  return kOtherModules;
}

}  // namespace

int32_t CanMergeVelk(const velk::TagDef& tag, int32_t direction, velk::Packet& packet) {
  const MergeRow& row = MergeRowOf(packet.moduleType);
  return row.merges ? protocol::ApplyGeneralMergeRule(tag, direction, packet, row.spanLimit) : 0;
}

}  // namespace families
