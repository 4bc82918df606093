#include "register_use.h"

#include <string.h>

namespace velkhost {

const char* BuildsCommand(DriverObject& driver, const std::string& type, const velk::RegisterDef& row, int direction) {
  if (driver.diag == nullptr) return "?";
  velk::DeviceRecord device;
  memset(&device, 0, sizeof device);
  if (driver.d->ParseDeviceAddress("1", &device) != 1) return "?";
  int16_t dataType = velk::kTypeWord;
  for (int16_t bit = 1; bit != 0 && bit <= 0x100; bit = static_cast<int16_t>(bit << 1))
    if ((row.typeMask & bit) != 0) {
      dataType = bit;
      break;
    }
  velk::Packet packet;
  memset(&packet, 0, sizeof packet);
  velk::TagItem2 item;
  memset(&item, 0, sizeof item);
  velk::PtrListNode node = {nullptr, nullptr, nullptr};
  packet.address = static_cast<int16_t>(device.address);
  packet.device = &device;
  packet.moduleType = type.c_str();
  packet.registerName = row.name;
  packet.registerCode = static_cast<int16_t>(row.code);
  packet.channelLow = packet.channelHigh = row.minChannel;
  packet.direction = static_cast<int16_t>(direction);
  item.channel = static_cast<int16_t>(row.minChannel);
  item.dataType = dataType;
  item.registerCode = row.code;
  node.item = &item;
  packet.items.head = packet.items.tail = &node;
  packet.items.count = 1;
  if (driver.d2->ProcessPacket2(&packet) == 1) return "yes";
  const int32_t outcome = driver.LastOutcome();
  if (outcome == velk::kOutcomeNotBuilt) return "no";
  return outcome == velk::kOutcomeNoPort ? "yes" : "?";
}

}  // namespace velkhost
