#include "families/velk.h"
#include "protocol/module_types.h"
#include "protocol/probe_commands.h"

namespace families {
namespace {

// Size of the buffer both commands are built in and answered into.
const int32_t kProbeBufferSize = 1024;

// The modules whose alarm the host may switch off.
const char* const kTypesWithAlarm[] = {"Velk4011", "Velk4011D", "Velk4012", "Velk4016"};

bool HasAlarm(const char* typeName) {
  for (const char* name : kTypesWithAlarm)
    if (protocol::SameTypeName(typeName, name)) return true;
  return false;
}

}  // namespace

int32_t ProbeVelkModule(Bus& bus, const char*, int32_t address, velk::DeviceRecord* device) {
  if (device == nullptr) return 0;
  // A probe is how the host recovers a line: start again from the settings
  // even when the port looks open. A failed opening shows in the exchange.
  bus.line.Reopen();
  char buffer[kProbeBufferSize] = {};
  int32_t length = protocol::BuildProbeLine(buffer, address, device->noChecksum == 0);
  return bus.line.Exchange(buffer, &length, kVelk.answerPolicy) != 0 ? 1 : 0;
}

int32_t DisableVelkAlarm(Bus& bus, const char* moduleType, int32_t address) {
  if (!HasAlarm(moduleType)) return 1;
  char buffer[kProbeBufferSize] = {};
  int32_t length = protocol::BuildAlarmDisableLine(buffer, address);
  if (bus.line.Exchange(buffer, &length, kVelk.answerPolicy) == 0) return 0;
  return (length > 0 && buffer[0] == '?') ? 0 : 1;
}

}  // namespace families
