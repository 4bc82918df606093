// The two commands that address one "Velk" module outside packet processing:
// the probe ("$" AA "M") that checks a module answers, and the alarm disable
// ("@" AA "DA"). Which module types get which command is the driver's call.
#ifndef VELK_SERIAL_PROBE_H
#define VELK_SERIAL_PROBE_H

#include <stdint.h>

#include "serial/serial_line.h"
#include "velk4000/velk4000.h"

namespace serial {

// Size of the buffer both commands are built in and answered into.
const int32_t kProbeBufferSize = 1024;

// Writes "$" AA "M", the checksum of those four characters when
// `withChecksum`, and a carriage return, followed by a zero byte. `buffer`
// holds at least 8 bytes. Returns the line's length (5 or 7).
int32_t BuildProbeLine(char* buffer, int32_t address, bool withChecksum);

// Writes "@" AA "DA" and a carriage return (never a checksum), followed by a
// zero byte. `buffer` holds at least 7 bytes. Returns 6.
int32_t BuildAlarmDisableLine(char* buffer, int32_t address);

// Re-opens the line from its stored settings (when any were given), then
// sends the probe line. 1 when any line ending in a carriage return came
// back in time, whatever it says; 0 otherwise. A missing device record is a
// broken call: 0, nothing sent.
int32_t ProbeVelkModule(SerialLine& line, int32_t address, const velk::DeviceRecord* device);

// Sends the alarm-disable line. 1 unless the exchange failed or the module
// refused ("?").
int32_t DisableVelkAlarm(SerialLine& line, int32_t address);

}  // namespace serial

#endif
