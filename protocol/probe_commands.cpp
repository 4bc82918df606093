#include "protocol/probe_commands.h"

#include "protocol/encoding.h"

namespace protocol {

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

}  // namespace protocol
