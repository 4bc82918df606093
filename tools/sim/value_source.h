// A simulated analog value that can move on its own, so that a poll shows
// life: a constant, a ramp that climbs from one value to another and starts
// again, or a sine around a middle value.
#ifndef VELK_SIM_VALUE_SOURCE_H
#define VELK_SIM_VALUE_SOURCE_H

#include <stdint.h>

#include <string>

namespace sim {

struct ValueSource {
  enum class Kind { kConstant, kRamp, kSine };

  Kind kind = Kind::kConstant;
  double a = 0.0;         // the constant; the ramp's start; the sine's middle
  double b = 0.0;         // the ramp's end; the sine's amplitude
  double periodS = 10.0;  // one ramp or one sine wave, in seconds (> 0)

  static ValueSource Constant(double value);
  static ValueSource Ramp(double from, double to, double periodS);
  static ValueSource Sine(double middle, double amplitude, double periodS);

  // The value `ms` milliseconds after the bus started.
  double At(uint32_t ms) const;
  // "5.000", "ramp 0..10/20s", "sine 5+-2/10s"
  std::string Describe() const;
};

}  // namespace sim

#endif
