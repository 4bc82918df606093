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
  static uint64_t Now() { return platform::FileTimeNow(); }
};

}  // namespace families

#endif
