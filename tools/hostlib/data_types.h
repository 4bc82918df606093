// Tag data type names as a person writes them in a line file or on the
// command line, and the type masks of register rows spelled out in them.
#ifndef VELK_HOSTLIB_DATA_TYPES_H
#define VELK_HOSTLIB_DATA_TYPES_H

#include <stdint.h>

#include <string>

namespace hostlib {

// The data type code of `name` ("bit", "byte", "short", "word", "long",
// "float", "string", any case) or of a number such as "0x80"; 0 when the
// text names none.
int16_t DataTypeFromName(const std::string& name);

// "float" for 0x0080; a hexadecimal number for a code that has no name.
std::string DataTypeName(int16_t code);

// "bit|byte|word" for the mask 0x000B; bits without a name in hexadecimal.
std::string TypeMaskNames(int32_t mask);

// "bit, byte, short, word, long, float, string": for messages.
const char* DataTypeChoices();

}  // namespace hostlib

#endif
