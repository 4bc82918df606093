// The "Velk" family: every module type that is not a Data type. Its packet
// path, probe, alarm switch and merge rule, gathered in the table kVelk.
#ifndef VELK_FAMILIES_VELK_H
#define VELK_FAMILIES_VELK_H

#include <stdint.h>

#include "families/family.h"

namespace families {

int32_t ProcessVelkPacket(Bus& bus, velk::Packet& packet, const protocol::ModuleType& type);   // items are TagItem
int32_t ProcessVelkPacket2(Bus& bus, velk::Packet& packet, const protocol::ModuleType& type);  // items are TagItem2

// Re-opens the line from its stored settings (when any were given), then
// sends the probe line. 1 when any line ending in a carriage return came
// back in time, whatever it says; 0 otherwise. A missing device record is a
// broken call: 0, nothing sent.
int32_t ProbeVelkModule(Bus& bus, const char* moduleType, int32_t address, velk::DeviceRecord* device);
// Sends the alarm-disable line to the module types that have an alarm; 1
// unless the exchange failed or the module refused ("?"). Every other type
// has no alarm: nothing is sent, and nothing fails.
int32_t DisableVelkAlarm(Bus& bus, const protocol::ModuleType& type, int32_t address);

int32_t CanMergeVelk(const velk::TagDef& tag, int32_t direction, velk::Packet& packet,
                     const protocol::ModuleType& type);

}  // namespace families

#endif
