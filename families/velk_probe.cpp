#include "serial/probe.h"

#include "protocol/probe_commands.h"

namespace serial {

int32_t ProbeVelkModule(SerialLine& line, int32_t address, const velk::DeviceRecord* device) {
  if (device == nullptr) return 0;
  // A probe is how the host recovers a line: start again from the settings
  // even when the port looks open. A failed opening shows in the exchange.
  line.Reopen();
  char buffer[kProbeBufferSize] = {};
  int32_t length = protocol::BuildProbeLine(buffer, address, device->noChecksum == 0);
  return line.Transact(buffer, &length) != 0 ? 1 : 0;
}

int32_t DisableVelkAlarm(SerialLine& line, int32_t address) {
  char buffer[kProbeBufferSize] = {};
  int32_t length = protocol::BuildAlarmDisableLine(buffer, address);
  if (line.Transact(buffer, &length) == 0) return 0;
  return (length > 0 && buffer[0] == '?') ? 0 : 1;
}

}  // namespace serial
