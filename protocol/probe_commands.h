// The two command lines that address one "Velk" module outside packet
// processing: the probe ("$" AA "M"), which checks that a module answers,
// and the alarm disable ("@" AA "DA").
#ifndef VELK_PROTOCOL_PROBE_COMMANDS_H
#define VELK_PROTOCOL_PROBE_COMMANDS_H

#include <stdint.h>

namespace protocol {

// Writes "$" AA "M", the checksum of those four characters when
// `withChecksum`, and a carriage return, followed by a zero byte. `buffer`
// holds at least 8 bytes. Returns the line's length (5 or 7).
int32_t BuildProbeLine(char* buffer, int32_t address, bool withChecksum);

// Writes "@" AA "DA" and a carriage return (never a checksum), followed by a
// zero byte. `buffer` holds at least 7 bytes. Returns 6.
int32_t BuildAlarmDisableLine(char* buffer, int32_t address);

}  // namespace protocol

#endif
