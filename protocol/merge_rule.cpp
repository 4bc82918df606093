#include "protocol/merge_rule.h"

namespace protocol {

int32_t ApplyGeneralMergeRule(const velk::TagDef& tag, int32_t direction, velk::Packet& packet, int32_t spanLimit) {
  if (direction != packet.direction || tag.address != packet.address || tag.registerCode != packet.registerCode)
    return 0;
  // Spans are computed in 64 bits: the host's range fields are 32-bit and
  // may hold anything.
  const int64_t channel = tag.channel;
  const int64_t low = packet.channelLow;
  const int64_t high = packet.channelHigh;
  if (direction == 1) return channel == low ? 1 : 0;

  if (channel >= low && channel <= high) return 1;
  if (channel < low) {
    if (high - channel + 1 >= spanLimit) return 0;
    packet.channelLow = static_cast<int32_t>(channel);
    return 1;
  }
  if (channel - low + 1 >= spanLimit) return 0;
  packet.channelHigh = static_cast<int32_t>(channel);
  return 1;
}

}  // namespace protocol
