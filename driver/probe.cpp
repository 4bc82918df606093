// ProbeDevice and DisableDeviceAlarm: the Data types have probes of their
// own; every other name gets the "Velk" probe line.
#include "driver/velk4000_pro.h"
#include "protocol/module_types.h"
#include "serial/probe.h"

namespace driver {
namespace {

// The modules whose alarm the host may switch off; every other type has
// none, so there is nothing to do and nothing fails.
const char* const kTypesWithAlarm[] = {"Velk4011", "Velk4011D", "Velk4012", "Velk4016"};

bool HasAlarm(const char* typeName) {
  for (const char* name : kTypesWithAlarm)
    if (protocol::SameTypeName(typeName, name)) return true;
  return false;
}

}  // namespace

int32_t CVelk4000Pro::ProbeDevice(const char* moduleType, int32_t address, velk::DeviceRecord* device) {
  // A probe is an exchange like a packet's: its outcome and counters tell a
  // silent address from a line without a port.
  serial::LineDiagnostics& diagnostics = line().diagnostics;
  diagnostics.BeginPacket();
  int32_t result = 0;
  // No name is no module: nothing to probe, and nothing is sent.
  if (moduleType == nullptr)
    diagnostics.Fail(velk::kOutcomeNotBuilt);
  else if (protocol::SameTypeName(moduleType, "Data7810"))
    result = data7810().ProbeData7810(moduleType, address, device);
  else if (protocol::SameTypeName(moduleType, "Data7210"))
    result = data7210().ProbeData7210(moduleType, address, device);
  else
    result = serial::ProbeVelkModule(line(), address, device);
  if (result == 0 && !line().hasPort()) diagnostics.Fail(velk::kOutcomeNoPort);
  diagnostics.EndPacket(result);
  return result;
}

int32_t CVelk4000Pro::DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t) {
  if (!HasAlarm(moduleType)) return 1;
  return serial::DisableVelkAlarm(line(), address);
}

}  // namespace driver
