// The decimal-text check used by tag options and the serial device class.
#ifndef VELK_PROTOCOL_TEXT_TO_NUMBER_H
#define VELK_PROTOCOL_TEXT_TO_NUMBER_H

#include <stddef.h>
#include <stdint.h>

namespace protocol {

// True when `text` (at most `maxLength` characters, NUL-terminated or not) is
// non-empty, consists only of "-0123456789", and begins with a decimal
// number (an optional "-" and at least one digit); the number is stored in
// `out`. Characters after the number are not examined ("1-2" gives 1). A
// number outside the 32-bit range is refused rather than wrapped.
bool TextToNumber(const char* text, int32_t* out, size_t maxLength = 64);

}  // namespace protocol

#endif
