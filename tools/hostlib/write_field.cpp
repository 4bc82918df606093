#include "write_field.h"

#include <math.h>
#include <string.h>
#include <strings.h>

namespace hostlib {
namespace {

const WriteField kWriteFields[] = {
    {"Velk4021", "AO", "a field of 6 characters, \"%06.3f\": 0.000 to 99.999", 3, 0.0, 99.999},
    {"Velk4024", "AO", "a sign and 6 characters, \"%06.3f\" of the magnitude: -99.999 to +99.999", 3, -99.999, 99.999},
    {"Velk4024", "SC", "a sign and 6 characters, \"%06.3f\" of the magnitude: -99.999 to +99.999", 3, -99.999, 99.999},
    {"Velk4024", "EC", "a sign and 6 characters, \"%06.3f\" of the magnitude: -99.999 to +99.999", 3, -99.999, 99.999},
    {"", "AHI", "a field of 7 characters, \"%+07.3f\": -99.999 to +99.999", 3, -99.999, 99.999},
    {"", "ALO", "a field of 7 characters, \"%+07.3f\": -99.999 to +99.999", 3, -99.999, 99.999},
    {"", "CJCOFF", "a field of 5 characters, \"%+05i\": -9999 to +9999", 0, -9999, 9999},
};

}  // namespace

const WriteField* WriteFieldOf(const std::string& moduleType, const char* registerName) {
  if (registerName == nullptr) return nullptr;
  for (const WriteField& f : kWriteFields) {
    if (strncasecmp(registerName, f.registerName, 8) != 0) continue;
    if (strncasecmp(moduleType.c_str(), f.typePrefix, strlen(f.typePrefix)) == 0) return &f;
  }
  return nullptr;
}

bool FitsWriteField(const WriteField& field, double value, std::string* reason) {
  // The value travels as a single-precision float: judge what the driver
  // will format, not the text that was typed.
  const double carried = static_cast<double>(static_cast<float>(value));
  const double scale = pow(10.0, field.decimals);
  const double scaled = carried * scale;
  const double rounded = nearbyint(scaled);
  if (!(rounded >= nearbyint(field.low * scale) && rounded <= nearbyint(field.high * scale))) {
    *reason = "out of range: the command carries it in " + std::string(field.description);
    return false;
  }
  // A float holds about seven digits; anything finer than that is the
  // float's own error, anything coarser is a digit the field would drop.
  if (fabs(scaled - rounded) > 1e-6 * (1.0 + fabs(scaled)) || fabs(value * scale - rounded) > 1e-3) {
    *reason = "more digits than the field holds: the command carries it in " + std::string(field.description);
    return false;
  }
  return true;
}

}  // namespace hostlib
