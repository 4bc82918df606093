#include "sim/value_source.h"

#include <math.h>
#include <stdio.h>

namespace sim {

ValueSource ValueSource::Constant(double value) {
  ValueSource s;
  s.a = value;
  return s;
}

ValueSource ValueSource::Ramp(double from, double to, double periodS) {
  ValueSource s;
  s.kind = Kind::kRamp;
  s.a = from;
  s.b = to;
  s.periodS = periodS;
  return s;
}

ValueSource ValueSource::Sine(double middle, double amplitude, double periodS) {
  ValueSource s;
  s.kind = Kind::kSine;
  s.a = middle;
  s.b = amplitude;
  s.periodS = periodS;
  return s;
}

double ValueSource::At(uint32_t ms) const {
  if (kind == Kind::kConstant || !(periodS > 0.0)) return a;
  const double periodMs = periodS * 1000.0;
  const double phase = fmod(static_cast<double>(ms), periodMs) / periodMs;  // 0..1
  if (kind == Kind::kRamp) return a + (b - a) * phase;
  return a + b * sin(2.0 * M_PI * phase);
}

std::string ValueSource::Describe() const {
  char text[96];
  switch (kind) {
    case Kind::kConstant: snprintf(text, sizeof text, "%.3f", a); break;
    case Kind::kRamp: snprintf(text, sizeof text, "ramp %g..%g/%gs", a, b, periodS); break;
    case Kind::kSine: snprintf(text, sizeof text, "sine %g+-%g/%gs", a, b, periodS); break;
  }
  return text;
}

}  // namespace sim
