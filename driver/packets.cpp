// The calls that reach the modules: packets, probes, the alarm switch, and
// the merge rule that shapes packets. Each picks the module type's family
// once and hands the call to the family's table.
#include "driver/line_driver.h"

namespace driver {

int32_t LineDriver::RunPacket(velk::Packet* packet, families::PacketPath families::Family::*path) {
  serial::LineDiagnostics& diagnostics = line().diagnostics;
  diagnostics.BeginPacket();
  line().StartPacket();
  int32_t result = 0;
  if (packet == nullptr || packet->moduleType == nullptr)
    diagnostics.Fail(velk::kOutcomeNotBuilt);
  else {
    const protocol::ModuleType& type = protocol::ModuleTypeOf(packet->moduleType);
    result = (families::FamilyOf(type.group).*path)(bus_, *packet, type);
  }
  diagnostics.EndPacket(result);
  return result;
}

int32_t LineDriver::ProcessPacket(velk::Packet* packet) { return RunPacket(packet, &families::Family::processPacket); }

int32_t LineDriver::ProcessPacket2(velk::Packet* packet) {
  return RunPacket(packet, &families::Family::processPacket2);
}

int32_t LineDriver::ProbeDevice(const char* moduleType, int32_t address, velk::DeviceRecord* device) {
  // A probe is an exchange like a packet's: its outcome and counters tell a
  // silent address from a line without a port.
  serial::LineDiagnostics& diagnostics = line().diagnostics;
  diagnostics.BeginPacket();
  int32_t result = 0;
  // No name is no module: nothing to probe, and nothing is sent.
  if (moduleType == nullptr)
    diagnostics.Fail(velk::kOutcomeNotBuilt);
  else
    result = families::FamilyFor(moduleType).probe(bus_, moduleType, address, device);
  if (result == 0 && !line().hasPort()) diagnostics.Fail(velk::kOutcomeNoPort);
  diagnostics.EndPacket(result);
  return result;
}

int32_t LineDriver::DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t) {
  const protocol::ModuleType& type = protocol::ModuleTypeOf(moduleType);
  return families::FamilyOf(type.group).disableAlarm(bus_, type, address);
}

int32_t LineDriver::CanMerge(const velk::TagDef* tag, int32_t direction, velk::Packet* packet) {
  if (tag == nullptr || packet == nullptr) return 0;
  const protocol::ModuleType& type = protocol::ModuleTypeOf(packet->moduleType);
  return families::FamilyOf(type.group).canMerge(*tag, direction, *packet, type);
}

}  // namespace driver
