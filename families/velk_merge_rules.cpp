// Whether a tag may join an open packet: the general rule for "Velk" modules,
// with module types that merge wider, never, or by rules of their own.
#include "datamodules/data7210.h"
#include "datamodules/data7810.h"
#include "driver/velk4000_pro.h"
#include "protocol/merge_rule.h"
#include "protocol/module_types.h"

namespace driver {
namespace {

enum class MergeRule : uint8_t {
  kGeneral,   // same direction, address, register; reads may widen up to the span limit
  kData7810,  // the Data7810 rule
  kData7210,  // the Data7210 rule
  kNever,     // every tag travels in a packet of its own
};

struct MergeRow {
  const char* moduleType;
  MergeRule rule;
  int32_t spanLimit;
};

// Searched in order; a module type not listed takes the general rule with a
// span limit of 1, so its read packets never widen.
const MergeRow kMergeRows[] = {
    {"Velk4055", MergeRule::kGeneral, 10},
    {"Data7810", MergeRule::kData7810, 0},
    {"Data7210", MergeRule::kData7210, 0},
    {"Velk4015", MergeRule::kNever, 0},
};
const MergeRow kOtherModules = {nullptr, MergeRule::kGeneral, 1};

const MergeRow& MergeRowOf(const char* moduleType) {
  for (const MergeRow& row : kMergeRows)
    if (protocol::SameTypeName(moduleType, row.moduleType)) return row;
  return kOtherModules;
}

}  // namespace

int32_t CVelk4000Pro::CanMerge(const velk::TagDef* tag, int32_t direction, velk::Packet* packet) {
  if (tag == nullptr || packet == nullptr) return 0;
  const MergeRow& row = MergeRowOf(packet->moduleType);
  switch (row.rule) {
    case MergeRule::kGeneral: return protocol::ApplyGeneralMergeRule(*tag, direction, *packet, row.spanLimit);
    case MergeRule::kData7810: return datamodules::Data7810::CanMergeData7810(*tag, direction, *packet);
    case MergeRule::kData7210: return datamodules::Data7210::CanMergeData7210(*tag, direction, *packet);
    case MergeRule::kNever: return 0;
  }
  return 0;
}

}  // namespace driver
