// Walking a packet's item list and reading or writing an item's value slot in
// the width a rule names. Pure record access: no allocation, no I/O.
#ifndef VELK_PROTOCOL_PACKET_ITEMS_H
#define VELK_PROTOCOL_PACKET_ITEMS_H

#include <string.h>

#include "velk4000/velk4000.h"

namespace protocol {

using velk::Packet;
using velk::PtrListNode;
using velk::TagItem;
using velk::TagItem2;
using velk::ValueSlot;

// Calls fn(item) for every item from first to last. The successor is taken
// before the item is handled, so a handler never depends on the node after
// it. The walk stops after `count` nodes even if a host list is cyclic.
template <typename Item, typename Fn>
void ForEachItem(const Packet& packet, Fn&& fn) {
  const PtrListNode* node = packet.items.head;
  int32_t budget = packet.items.count;
  while (node != nullptr && budget-- > 0) {
    const PtrListNode* next = node->next;
    if (node->item != nullptr) fn(*static_cast<Item*>(node->item));
    node = next;
  }
}

// The first item, or null for an empty list.
template <typename Item>
Item* FirstItem(const Packet& packet) {
  if (packet.items.count <= 0 || packet.items.head == nullptr) return nullptr;
  return static_cast<Item*>(packet.items.head->item);
}

// Makes `node` the one node of `packet`'s list, holding `item`: the packet of
// a probe or a single command. Both must outlive the packet's use.
inline void LinkOneItem(Packet& packet, PtrListNode& node, void* item) {
  node = PtrListNode{nullptr, nullptr, item};
  packet.items.head = &node;
  packet.items.tail = &node;
  packet.items.count = 1;
}

inline uint32_t SlotU32(const ValueSlot& v) {
  uint32_t x;
  memcpy(&x, v.raw, 4);
  return x;
}
inline int32_t SlotI32(const ValueSlot& v) { return static_cast<int32_t>(SlotU32(v)); }
inline float SlotFloat(const ValueSlot& v) {
  float f;
  memcpy(&f, v.raw, 4);
  return f;
}
inline int16_t SlotI16(const ValueSlot& v) {
  int16_t x;
  memcpy(&x, v.raw, 2);
  return x;
}
inline uint8_t SlotByte(const ValueSlot& v) { return v.raw[0]; }

// Stores: long/float fill all four bytes, half the low two, byte the low one.
inline void StoreLong(ValueSlot& v, uint32_t x) { memcpy(v.raw, &x, 4); }
inline void StoreFloat(ValueSlot& v, float f) { memcpy(v.raw, &f, 4); }
inline void StoreHalf(ValueSlot& v, uint16_t x) { memcpy(v.raw, &x, 2); }
inline void StoreByte(ValueSlot& v, uint8_t x) { v.raw[0] = x; }

// The quality of an IDriver2 item that got no reading: "bad", with its old
// time stamp kept.
const uint16_t kQualityBad = 0;

// Quality and time stamp of an IDriver2 item.
inline void StampItem(TagItem2& item, uint64_t fileTime) {
  item.quality = velk::kQualityGood;
  item.timeStampLow = static_cast<uint32_t>(fileTime);
  item.timeStampHigh = static_cast<uint32_t>(fileTime >> 32);
}

}  // namespace protocol

#endif
