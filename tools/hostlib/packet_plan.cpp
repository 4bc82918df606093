#include "packet_plan.h"

#include "module_names.h"

#include <string.h>
#include <strings.h>

namespace hostlib {

HostPacket::HostPacket(const LineConfig& config, const CheckedLine& checked, size_t firstTag, int16_t direction)
    : config_(config), checked_(checked), device_(config.tags[firstTag].deviceIndex) {
  memset(&packet_, 0, sizeof packet_);
  const velk::TagDef& def = checked.tags[firstTag];
  const DeviceEntry& device = config.devices[device_];
  packet_.address = static_cast<int16_t>(checked.devices[device_].address);
  // The driver reads and writes the record in place; the host keeps one
  // record per device for the whole run.
  packet_.device = const_cast<velk::DeviceRecord*>(&checked.devices[device_]);
  packet_.moduleType = device.type.c_str();
  packet_.registerName = def.registerName;
  packet_.registerCode = def.registerCode;
  // A display tag's precision travels in the packet.
  packet_.decimals = FamilyOfType(device.type) == ModuleFamily::kData7210 ? def.subField1 : 0;
  packet_.channelLow = def.channel;
  packet_.channelHigh = def.channel;
  packet_.direction = direction;
  tags_.push_back(firstTag);
}

void HostPacket::Link(ItemLayout layout) {
  layout_ = layout;
  const size_t n = tags_.size();
  nodes_.assign(n, velk::PtrListNode{});
  items_.assign(layout == ItemLayout::kTagItem ? n : 0, velk::TagItem{});
  items2_.assign(layout == ItemLayout::kTagItem2 ? n : 0, velk::TagItem2{});
  for (size_t i = 0; i < n; ++i) {
    const TagEntry& tag = config_.tags[tags_[i]];
    const velk::TagDef& def = checked_.tags[tags_[i]];
    void* item = nullptr;
    if (layout == ItemLayout::kTagItem) {
      velk::TagItem& t = items_[i];
      t.hostField0 = static_cast<int16_t>(tags_[i]);
      t.channel = def.channel;
      t.dataType = tag.dataType;
      t.registerCode = def.registerCode;
      item = &t;
    } else {
      velk::TagItem2& t = items2_[i];
      t.hostField0 = static_cast<int16_t>(tags_[i]);
      t.channel = def.channel;
      t.dataType = tag.dataType;
      t.registerCode = def.registerCode;
      item = &t;
    }
    nodes_[i].item = item;
    nodes_[i].prev = i > 0 ? &nodes_[i - 1] : nullptr;
    nodes_[i].next = i + 1 < n ? &nodes_[i + 1] : nullptr;
  }
  velk::PtrList& list = packet_.items;
  memset(&list, 0, sizeof list);
  list.head = n > 0 ? &nodes_[0] : nullptr;
  list.tail = n > 0 ? &nodes_[n - 1] : nullptr;
  list.count = static_cast<int32_t>(n);
  list.blockSize = 10;
}

velk::ValueSlot& HostPacket::value(size_t i) {
  return layout_ == ItemLayout::kTagItem ? items_[i].value : items2_[i].value;
}

uint16_t HostPacket::quality(size_t i) const { return layout_ == ItemLayout::kTagItem2 ? items2_[i].quality : 0; }

void HostPacket::set_quality(size_t i, uint16_t quality) {
  if (layout_ == ItemLayout::kTagItem2) items2_[i].quality = quality;
}

uint64_t HostPacket::timeStamp(size_t i) const {
  if (layout_ != ItemLayout::kTagItem2) return 0;
  return (static_cast<uint64_t>(items2_[i].timeStampHigh) << 32) | items2_[i].timeStampLow;
}

void HostPacket::set_timeStamp(size_t i, uint64_t fileTime) {
  if (layout_ != ItemLayout::kTagItem2) return;
  items2_[i].timeStampLow = static_cast<uint32_t>(fileTime);
  items2_[i].timeStampHigh = static_cast<uint32_t>(fileTime >> 32);
}

PacketPlan PlanReads(velk::IDriver* driver, const LineConfig& config, const CheckedLine& checked, ItemLayout layout) {
  PacketPlan plan;
  for (size_t t = 0; t < config.tags.size(); ++t) {
    const TagEntry& tag = config.tags[t];
    if (!tag.poll) continue;
    const velk::TagDef& def = checked.tags[t];
    bool joined = false;
    for (std::unique_ptr<HostPacket>& open : plan) {
      velk::Packet& record = open->record();
      if (open->device() != tag.deviceIndex || record.registerCode != def.registerCode || record.direction != 0)
        continue;
      if (driver->CanMerge(&def, 0, &record) == 1) {
        open->AddTag(t);
        joined = true;
        break;
      }
    }
    if (!joined) plan.push_back(std::make_unique<HostPacket>(config, checked, t, 0));
  }
  for (std::unique_ptr<HostPacket>& packet : plan) packet->Link(layout);
  return plan;
}

std::unique_ptr<HostPacket> SingleTagPacket(const LineConfig& config, const CheckedLine& checked, size_t tag,
                                            int16_t direction, ItemLayout layout) {
  auto packet = std::make_unique<HostPacket>(config, checked, tag, direction);
  packet->Link(layout);
  return packet;
}

}  // namespace hostlib
