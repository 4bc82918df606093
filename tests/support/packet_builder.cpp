#include "support/packet_builder.h"

#include <string.h>

namespace testsupport {

uint32_t SlotBits(const velk::ValueSlot& slot) {
  uint32_t bits;
  memcpy(&bits, slot.raw, 4);
  return bits;
}

void SetSlotBits(velk::ValueSlot& slot, uint32_t bits) { memcpy(slot.raw, &bits, 4); }

uint32_t FloatBits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  return bits;
}

float BitsFloat(uint32_t bits) {
  float value;
  memcpy(&value, &bits, 4);
  return value;
}

template <typename Item>
HostPacket<Item>::HostPacket(const std::string& moduleType, const std::string& registerName, int16_t registerCode,
                             int16_t direction, int16_t address, bool checksum)
    : moduleType_(moduleType), registerName_(registerName) {
  memset(&device_, 0, sizeof device_);
  device_.address = static_cast<uint16_t>(address);
  device_.noChecksum = checksum ? 0 : 1;
  memset(&packet_, 0, sizeof packet_);
  packet_.address = address;
  packet_.device = &device_;
  packet_.moduleType = moduleType_.c_str();
  packet_.registerName = registerName_.c_str();
  packet_.registerCode = registerCode;
  packet_.direction = direction;
}

template <typename Item>
Item& HostPacket<Item>::Add(int16_t channel, int16_t dataType, uint32_t valueBits) {
  items_.emplace_back();
  Item& item = items_.back();
  memset(&item, 0, sizeof item);
  item.channel = channel;
  item.dataType = dataType;
  item.registerCode = packet_.registerCode;
  SetSlotBits(item.value, valueBits);

  nodes_.push_back(velk::PtrListNode{nullptr, nullptr, &item});
  velk::PtrListNode& node = nodes_.back();
  if (packet_.items.tail != nullptr) {
    node.prev = packet_.items.tail;
    packet_.items.tail->next = &node;
  } else {
    packet_.items.head = &node;
    packet_.channelLow = channel;
    packet_.channelHigh = channel;
  }
  packet_.items.tail = &node;
  ++packet_.items.count;
  if (channel < packet_.channelLow) packet_.channelLow = channel;
  if (channel > packet_.channelHigh) packet_.channelHigh = channel;
  return item;
}

template <typename Item>
HostPacket<Item>& HostPacket<Item>::Channels(int32_t low, int32_t high) {
  packet_.channelLow = low;
  packet_.channelHigh = high;
  return *this;
}

template <typename Item>
std::vector<uint8_t> HostPacket<Item>::ItemBytes() const {
  std::vector<uint8_t> bytes;
  for (const Item& item : items_) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&item);
    bytes.insert(bytes.end(), p, p + sizeof item);
  }
  return bytes;
}

template class HostPacket<velk::TagItem>;
template class HostPacket<velk::TagItem2>;

}  // namespace testsupport
