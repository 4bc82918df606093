// The general rule by which a tag joins an open packet of a "Velk" module.
#ifndef VELK_PROTOCOL_MERGE_RULE_H
#define VELK_PROTOCOL_MERGE_RULE_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

// 1 when `tag` may join `packet`, else 0. The tag must go the packet's
// direction, to its address and register. A write joins only the packet's
// own channel (`channelLow`); a read joins a channel inside the packet's
// range, or just outside it when the widened range would stay below
// `spanLimit` channels, and then widens `channelLow` or `channelHigh`.
// Nothing of the packet changes when the answer is 0.
int32_t ApplyGeneralMergeRule(const velk::TagDef& tag, int32_t direction, velk::Packet& packet, int32_t spanLimit);

}  // namespace protocol

#endif
