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
    const protocol::ModelGroup group = protocol::ModelGroupOf(packet->moduleType);
    result = (families::FamilyOf(group).*path)(bus_, *packet, group);
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
  return families::FamilyFor(moduleType).disableAlarm(bus_, moduleType, address);
}

int32_t LineDriver::CanMerge(const velk::TagDef* tag, int32_t direction, velk::Packet* packet) {
  if (tag == nullptr || packet == nullptr) return 0;
  return families::FamilyFor(packet->moduleType).canMerge(*tag, direction, *packet);
}

}  // namespace driver
