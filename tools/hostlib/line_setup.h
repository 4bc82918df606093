// Giving the driver its line: the host's PortSettings record from the line
// file, OpenPort with a message that names the port and the likely reasons
// when it fails, and the poll delay written the way a host writes it.
#ifndef VELK_HOSTLIB_LINE_SETUP_H
#define VELK_HOSTLIB_LINE_SETUP_H

#include <string>

#include "driver_library.h"
#include "line_check.h"
#include "line_config.h"
#include "packet_plan.h"
#include "velk4000/velk4000.h"

namespace hostlib {

// A port path longer than the host's 31 characters (such as
// /dev/serial/by-id/...) followed through its links to the device node.
// Returns false with a message when it cannot be made short enough; `note`
// says what was done when the name changed.
bool ShortPortName(const std::string& name, std::string* shortName, std::string* note, std::string* error);

velk::PortSettings MakePortSettings(const PortConfig& port, const std::string& portName, int16_t timeoutMs);

// "9600 baud, 8 data bits, parity none, 1 stop bit, answer time-out 1000 ms"
std::string DescribeSettings(const velk::PortSettings& settings);

// What the message for a port that does not exist offers instead, in the
// words of the program that shows it; velkhost's built-in simulator unless
// a program, before its first opening, says otherwise.
void SetMissingPortHint(const std::string& hint);

// OpenPort; on failure returns false with a message for a person.
bool OpenLine(velk::IDriver* driver, const velk::PortSettings& settings, std::string* error);
// The same, naming the cause the driver's diagnostics give, when it has them.
bool OpenLine(DriverObject& driver, const velk::PortSettings& settings, std::string* error);

// Writes `delayMs` into the driver's first wait through the "DISPLAY"
// pseudo-register of the first device whose register table has one, as the
// host does. Returns false with a reason when no device offers it or the
// driver refused the write.
bool WritePollDelay(velk::IDriver* driver, velk::IDriver2* driver2, const LineConfig& config,
                    const CheckedLine& checked, uint16_t delayMs, ItemLayout layout, std::string* error);

}  // namespace hostlib

#endif
