// --trace: every command the driver writes and every chunk of answer it
// reads, printed to the error output as a hex and ASCII monitor with the
// wall-clock time and the milliseconds since the previous chunk.
#ifndef VELKHOST_LINE_TRACE_H
#define VELKHOST_LINE_TRACE_H

#include <stdint.h>

#include <string>

#include "driver_library.h"

namespace velkhost {
using namespace hostlib;

// Registers the monitor with the driver's diagnostics; says so on stderr
// when the library has none.
void StartLineTrace(DriverObject& driver);

// One chunk as the monitor prints it, 16 bytes a row:
// "12:34:56.789 +15ms TX 23 30 31 38 34 0D  |#0184.|"
std::string TraceLines(const std::string& clock, int64_t sincePreviousMs, int32_t direction, const char* bytes,
                       int32_t length);

}  // namespace velkhost

#endif
