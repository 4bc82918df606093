// Packets as the host builds them: tags taken in file order, each joining the
// first open packet of its device, register and direction that CanMerge
// accepts, else opening a packet of its own whose channel range starts at the
// tag's channel.
#ifndef VELK_HOSTLIB_PACKET_PLAN_H
#define VELK_HOSTLIB_PACKET_PLAN_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "line_check.h"
#include "line_config.h"
#include "velk4000/velk4000.h"

namespace hostlib {

// Which item records the packet's list holds: TagItem for ProcessPacket,
// TagItem2 for ProcessPacket2.
enum class ItemLayout { kTagItem, kTagItem2 };

// One packet: the record the driver reads, its list nodes and its items.
// Held by pointer, since the record's list points into the object.
class HostPacket {
 public:
  HostPacket(const LineConfig& config, const CheckedLine& checked, size_t firstTag, int16_t direction);
  HostPacket(const HostPacket&) = delete;
  HostPacket& operator=(const HostPacket&) = delete;

  velk::Packet& record() { return packet_; }
  const velk::Packet& record() const { return packet_; }
  size_t device() const { return device_; }
  const std::vector<size_t>& tags() const { return tags_; }

  // Before Link only.
  void AddTag(size_t tag) { tags_.push_back(tag); }

  // Builds fresh items for the packet's tags in `layout` and links them into
  // the record's pointer list, first to last.
  void Link(ItemLayout layout);
  ItemLayout layout() const { return layout_; }

  // The value slot, quality and time stamp of item `i` in the linked layout
  // (quality and time stamp exist only in TagItem2; 0 otherwise).
  velk::ValueSlot& value(size_t i);
  uint16_t quality(size_t i) const;
  void set_quality(size_t i, uint16_t quality);
  uint64_t timeStamp(size_t i) const;
  void set_timeStamp(size_t i, uint64_t fileTime);

 private:
  const LineConfig& config_;
  const CheckedLine& checked_;
  velk::Packet packet_;
  size_t device_;
  std::vector<size_t> tags_;
  ItemLayout layout_ = ItemLayout::kTagItem2;
  std::vector<velk::PtrListNode> nodes_;
  std::vector<velk::TagItem> items_;
  std::vector<velk::TagItem2> items2_;
};

typedef std::vector<std::unique_ptr<HostPacket>> PacketPlan;

// The read packets of every polled tag, linked in `layout`.
PacketPlan PlanReads(velk::IDriver* driver, const LineConfig& config, const CheckedLine& checked, ItemLayout layout);

// A packet of one tag in `direction` (0 read, 1 write), linked in `layout`.
std::unique_ptr<HostPacket> SingleTagPacket(const LineConfig& config, const CheckedLine& checked, size_t tag,
                                            int16_t direction, ItemLayout layout);

}  // namespace hostlib

#endif
