// Tag values as Modbus registers and back: one register for a bit, byte,
// short or word, two for a long or a float (IEEE 754), high word first
// unless the line says otherwise, eight for a text (two characters each,
// the first in the high byte, NUL-padded).
#ifndef VELKD_MODBUS_REGISTERS_H
#define VELKD_MODBUS_REGISTERS_H

#include <stdint.h>

#include <string>

#include "core/reading.h"
#include "modbus/modbus_map.h"

namespace velkd {

// A good reading in `entry.count` registers (a bit: one element, 0 or 1):
// a float entry serves the engineering value, any other entry the module's
// value as it is. False when the value has no exact form there (no value,
// a float that is not finite, a number beyond the register, a text longer
// than its registers, a value of another kind): such a value is never
// served as good.
bool ValueToRegisters(const ModbusEntry& entry, const Reading& reading, uint16_t* registers);

// The value text that writing `registers` (entry.count of them) to the
// entry's tag means; the tag's own value check judges it.
std::string RegistersToText(const ModbusEntry& entry, const uint16_t* registers);

}  // namespace velkd

#endif
