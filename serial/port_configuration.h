// The opening step the driver's line and the serial device object share:
// open a port exclusively, size its queues and apply the line's settings.
#ifndef VELK_SERIAL_PORT_CONFIGURATION_H
#define VELK_SERIAL_PORT_CONFIGURATION_H

#include <stdint.h>

#include <memory>

#include "platform/serial_api.h"
#include "velk4000/velk4000.h"

namespace serial {

// Queue sizes asked for at every opening; a full input queue is this size.
const uint32_t kInputQueueBytes = 1024;
const uint32_t kOutputQueueBytes = 512;

// Opens `path` and sets baud rate, data bits, parity and stop bits from
// `settings` (a stop-bit value of 2 means two, anything else one), leaving
// every other setting of the port as it was. A port that refuses the
// settings is closed again. Returns the open port or null.
std::unique_ptr<platform::Port> OpenConfiguredPort(platform::SerialApi& api, const char* path,
                                                   const velk::PortSettings& settings);

}  // namespace serial

#endif
