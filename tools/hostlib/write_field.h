// The fixed-width fields of the "Velk" write commands that carry a number.
// The driver refuses a value that does not fit rather than send it cut; a
// host says beforehand what the field takes, and refuses a value the field
// would round.
#ifndef VELK_HOSTLIB_WRITE_FIELD_H
#define VELK_HOSTLIB_WRITE_FIELD_H

#include <string>

namespace hostlib {

struct WriteField {
  const char* typePrefix;  // "" for any "Velk" type
  const char* registerName;
  const char* description;  // "a field of 6 characters, \"%06.3f\": 0.000 to 99.999"
  int decimals;
  double low;
  double high;
};

// The field of a write of `registerName` to a `moduleType` module; null when
// the command carries no number of fixed width.
const WriteField* WriteFieldOf(const std::string& moduleType, const char* registerName);

// True when `value` lies in the field and is carried exactly, without
// rounding; else false with a reason that names the field.
bool FitsWriteField(const WriteField& field, double value, std::string* reason);

}  // namespace hostlib

#endif
