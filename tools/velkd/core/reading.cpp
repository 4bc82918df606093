#include "core/reading.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "velk4000/velk4000.h"

namespace velkd {

Value ModuleValue(const hostlib::TagValue& value, int16_t dataType) {
  Value out;
  switch (value.kind) {
    case hostlib::TagValue::kFloat:
      // A module's garbage (not finite) is no value.
      if (!isfinite(value.real)) return out;
      out.kind = Value::kReal;
      out.real = strtod(hostlib::ValueText(value).c_str(), nullptr);
      return out;
    case hostlib::TagValue::kText:
      out.kind = Value::kText;
      out.text = value.text;
      return out;
    default:
      out.kind = dataType == velk::kTypeBit ? Value::kBit : Value::kInteger;
      out.integer = value.integer;
      return out;
  }
}

Value EngineeringValue(const TagUnits& units, const Value& module) {
  if (!units.Scaled() || !module.number()) return module;
  const double result = module.AsDouble() * units.scale + units.offset;
  Value out;
  if (!isfinite(result)) return out;
  // 1234 * 0.1 is 123.40000000000001 in binary; its 15 digits are what the
  // person who wrote 0.1 means.
  char text[40];
  snprintf(text, sizeof text, "%.15g", result);
  out.kind = Value::kReal;
  out.real = strtod(text, nullptr);
  return out;
}

}  // namespace velkd
