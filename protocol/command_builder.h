// The one command line that carries out a packet of a "Velk" module: lead
// character, address, command letters and data field, the checksum when the
// device uses one, and the carriage return. Pure text: nothing is sent and
// nothing is allocated.
#ifndef VELK_PROTOCOL_COMMAND_BUILDER_H
#define VELK_PROTOCOL_COMMAND_BUILDER_H

#include <stdint.h>

#include "protocol/module_types.h"
#include "velk4000/velk4000.h"

namespace protocol {

// The longest command: 13 characters, the checksum and the carriage return.
// A builder never writes more than this into the caller's buffer.
const int32_t kLongestCommand = 16;

// Write the command of `packet` from position 0 of `buffer` (at least
// kLongestCommand bytes, zero-filled by the caller; the text is not
// NUL-terminated) and its length, carriage return included, into `*length`.
// Return 1, or 0 with `*length` 0 and the buffer untouched when the module
// type, register index and direction give no command, when the packet has no
// item, or when the value does not fit its fixed-width field.
//
// A missing device record counts as a device with checksums, the default of
// a plain address. BuildCommand reads the first item as a TagItem,
// BuildCommand2 as a TagItem2; otherwise they build the same commands, for
// every "Velk" type, "Velk4068" included.
//
// `group` is the model group of the packet's module type, which the driver
// finds once per packet (ModelGroupOf).
int32_t BuildCommand(const velk::Packet& packet, ModelGroup group, char* buffer, int32_t* length);
int32_t BuildCommand2(const velk::Packet& packet, ModelGroup group, char* buffer, int32_t* length);

}  // namespace protocol

#endif
