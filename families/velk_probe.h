// The probe and the alarm disable of one "Velk" module, outside packet
// processing. Which module types get which command is the driver's call.
#ifndef VELK_SERIAL_PROBE_H
#define VELK_SERIAL_PROBE_H

#include <stdint.h>

#include "serial/serial_line.h"
#include "velk4000/velk4000.h"

namespace serial {

// Size of the buffer both commands are built in and answered into.
const int32_t kProbeBufferSize = 1024;

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
