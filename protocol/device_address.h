// The device address text of a module: its bus address, optionally followed
// by a point and a number that switches checksums off.
#ifndef VELK_PROTOCOL_DEVICE_ADDRESS_H
#define VELK_PROTOCOL_DEVICE_ADDRESS_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

// The error code of a device address text that is not acceptable.
constexpr int32_t kDeviceAddressRejected = 11;

// Checks `text` ("N" or "N.M", digits and points only) and fills `device`:
// "N" stores address N and flag byte 0; "N.M" stores address N and the low
// byte of M in `noChecksum`, which must not be 0. Returns 0 or
// kDeviceAddressRejected; an empty text is rejected.
//
// A rejected "N.M" text may still have written part of the record, as hosts
// have always seen it: the flag byte always, the address whenever N is at
// most 255. A rejected "N" text writes nothing. Null pointers are rejected,
// and so is a text that does not end within its 32-character field.
int32_t ParseDeviceAddress(const char* text, velk::DeviceRecord* device);

}  // namespace protocol

#endif
