#include "serial/probe.h"

#include "serial/encoding.h"

namespace serial {

int32_t BuildProbeLine(char* buffer, int32_t address, bool withChecksum) {
  int32_t n = 0;
  buffer[n++] = '$';
  ByteToHex(buffer + n, static_cast<uint8_t>(address));
  n += 2;
  buffer[n++] = 'M';
  if (withChecksum) {
    ByteToHex(buffer + n, ChecksumOf(buffer, static_cast<size_t>(n)));
    n += 2;
  }
  buffer[n++] = '\r';
  buffer[n] = '\0';
  return n;
}

int32_t BuildAlarmDisableLine(char* buffer, int32_t address) {
  int32_t n = 0;
  buffer[n++] = '@';
  ByteToHex(buffer + n, static_cast<uint8_t>(address));
  n += 2;
  buffer[n++] = 'D';
  buffer[n++] = 'A';
  buffer[n++] = '\r';
  buffer[n] = '\0';
  return n;
}

int32_t ProbeVelkModule(SerialLine& line, int32_t address, const velk::DeviceRecord* device) {
  if (device == nullptr) return 0;
  // A probe is how the host recovers a line: start again from the settings
  // even when the port looks open. A failed opening shows in the exchange.
  line.Reopen();
  char buffer[kProbeBufferSize] = {};
  int32_t length = BuildProbeLine(buffer, address, device->noChecksum == 0);
  return line.Transact(buffer, &length) != 0 ? 1 : 0;
}

int32_t DisableVelkAlarm(SerialLine& line, int32_t address) {
  char buffer[kProbeBufferSize] = {};
  int32_t length = BuildAlarmDisableLine(buffer, address);
  if (line.Transact(buffer, &length) == 0) return 0;
  return (length > 0 && buffer[0] == '?') ? 0 : 1;
}

}  // namespace serial
