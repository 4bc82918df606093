// Tag values as a person reads and types them: the four bytes of a value
// slot decoded by the tag's data type (string atoms turned back into text),
// value texts turned into slots for writes, and time stamps as text.
#ifndef VELK_HOSTLIB_VALUE_FORMAT_H
#define VELK_HOSTLIB_VALUE_FORMAT_H

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

#include "driver_library.h"
#include "velk4000/velk4000.h"

namespace hostlib {

struct TagValue {
  enum Kind { kInteger, kFloat, kText } kind = kInteger;
  int64_t integer = 0;
  float real = 0.0f;
  std::string text;
  uint16_t atom = 0;  // kText: the atom the slot carried
};

// Decodes `slot` as the host holds a value of `dataType`.
TagValue DecodeValue(const velk::ValueSlot& slot, int16_t dataType, const DriverLibrary& library);

std::string ValueText(const TagValue& value);
nlohmann::ordered_json ValueJson(const TagValue& value);

// Encodes `text` for a write of `dataType`. Returns false with a message for
// a text that is not a value of the type or lies outside its range.
bool EncodeValue(const std::string& text, int16_t dataType, velk::ValueSlot* slot, std::string* error);

// A file time (100-ns intervals since 1601-01-01 UTC) as
// "2024-05-01T12:34:56.789Z"; "-" for 0.
std::string FileTimeIso(uint64_t fileTime);
// The same as local wall-clock time "12:34:56.789", for the live view.
std::string FileTimeClock(uint64_t fileTime);

// The current time as a file time, for packets whose items carry none.
uint64_t FileTimeNowHost();

}  // namespace hostlib

#endif
