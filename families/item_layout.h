// The one place where the host's two item layouts differ for the families:
// whether an item carries quality and a time stamp. A family's packet path
// is one template over the layout.
#ifndef VELK_FAMILIES_ITEM_LAYOUT_H
#define VELK_FAMILIES_ITEM_LAYOUT_H

#include <stdint.h>

#include "platform/file_time.h"
#include "protocol/packet_items.h"
#include "velk4000/velk4000.h"

namespace families {

// Quality "bad: sensor failure" of an item the module has no reading for.
const uint16_t kQualitySensorFailure = 16;

template <typename Item>
struct ItemLayout;

template <>
struct ItemLayout<velk::TagItem> {
  // An item without quality cannot be left unanswered within a good packet.
  static constexpr bool kHasQuality = false;
  static void Stamp(velk::TagItem&, uint64_t) {}
  static void StampNoReading(velk::TagItem&, uint64_t) {}
  static void NoReading(velk::TagItem&) {}
  static uint64_t Now() { return 0; }
};

template <>
struct ItemLayout<velk::TagItem2> {
  static constexpr bool kHasQuality = true;
  static void Stamp(velk::TagItem2& item, uint64_t now) { protocol::StampItem(item, now); }
  static void StampNoReading(velk::TagItem2& item, uint64_t now) {
    protocol::StampItem(item, now);
    item.quality = kQualitySensorFailure;
  }
  // An item its rule stored nothing into keeps its value and time stamp; its
  // quality says the old value is not a reading of now.
  static void NoReading(velk::TagItem2& item) { item.quality = protocol::kQualityBad; }
  static uint64_t Now() { return platform::FileTimeNow(); }
};

// A read packet of one item, as a probe sends it through its family's
// packet path; it lives on the probe's stack.
template <typename Item>
struct OneItemRead {
  OneItemRead(const char* moduleType, int32_t address, velk::DeviceRecord* device, int16_t registerCode,
              int16_t channel, int16_t dataType) {
    item.channel = channel;
    item.dataType = dataType;
    item.registerCode = registerCode;
    protocol::LinkOneItem(packet, node, &item);
    packet.address = static_cast<int16_t>(address);
    packet.device = device;
    packet.moduleType = moduleType;
    packet.registerCode = registerCode;
    packet.channelLow = channel;
    packet.channelHigh = channel;
    packet.direction = 0;
  }
  OneItemRead(const OneItemRead&) = delete;
  OneItemRead& operator=(const OneItemRead&) = delete;

  Item item{};
  velk::PtrListNode node{};
  velk::Packet packet{};
};

}  // namespace families

#endif
