// What arrives on a tag's "set" topic, parsed whole as the value the tag's
// type takes, and the JSON of the write's outcome.
#ifndef VELKD_WRITE_REQUEST_H
#define VELKD_WRITE_REQUEST_H

#include <stdint.h>

#include <string>

#include "velk4000/velk4000.h"
#include "write_field.h"

namespace velkd {

// A payload is JSON: a number (12.5), true or false, or {"value": ...}
// holding one of these. The whole payload must parse; the number must be
// one the tag's type holds: 0, 1, true or false for a bit, a whole number in
// range for the integer types, a finite number for a float that does not
// underflow and, where the command carries it in a fixed field, that the
// field carries without rounding. Returns the slot to write and the value
// as text, or false with a reason that says what was expected.
bool ParseWritePayload(const std::string& payload, int16_t dataType, const hostlib::WriteField* field,
                       velk::ValueSlot* slot, std::string* text, std::string* reason);

// {"ok": true|false, "value": "12.5", "reason": null|"...", "ts": "..."}
std::string WriteResultJson(bool ok, const std::string& value, const std::string& reason, const std::string& ts);

}  // namespace velkd

#endif
