// Host packets for tests: one module, one register, one direction, with the
// packet's own device record and items linked in the host's pointer-list
// layout. Touches only the public records, so tests of the binary interface
// may use it as well as unit tests.
#ifndef VELK_TESTS_SUPPORT_PACKET_BUILDER_H
#define VELK_TESTS_SUPPORT_PACKET_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "velk4000/velk4000.h"

namespace testsupport {

// The four bytes of a value slot as one little-endian word, and floats as
// their bits, so a test can prefill a slot and see which bytes a store wrote.
uint32_t SlotBits(const velk::ValueSlot& slot);
void SetSlotBits(velk::ValueSlot& slot, uint32_t bits);
uint32_t FloatBits(float value);
float BitsFloat(uint32_t bits);

// Item is velk::TagItem (IDriver packets) or velk::TagItem2 (IDriver2).
// The object owns every record the packet points at; it neither copies nor
// moves, so those pointers stay valid for its lifetime.
template <typename Item>
class HostPacket {
 public:
  HostPacket(const std::string& moduleType, const std::string& registerName, int16_t registerCode, int16_t direction,
             int16_t address = 1, bool checksum = true);
  HostPacket(const HostPacket&) = delete;
  HostPacket& operator=(const HostPacket&) = delete;

  // Appends an item; the packet's channel range grows to cover it.
  Item& Add(int16_t channel, int16_t dataType, uint32_t valueBits = 0);
  HostPacket& Channels(int32_t low, int32_t high);

  velk::Packet* get() { return &packet_; }
  velk::Packet& header() { return packet_; }
  velk::DeviceRecord& device() { return device_; }
  Item& item(size_t i) { return items_[i]; }
  size_t size() const { return items_.size(); }

  // The raw bytes of every item, to show that a failed call left them alone.
  std::vector<uint8_t> ItemBytes() const;

 private:
  std::string moduleType_;
  std::string registerName_;
  velk::DeviceRecord device_;
  velk::Packet packet_;
  std::deque<Item> items_;  // deques keep addresses while growing
  std::deque<velk::PtrListNode> nodes_;
};

extern template class HostPacket<velk::TagItem>;
extern template class HostPacket<velk::TagItem2>;

}  // namespace testsupport

#endif
