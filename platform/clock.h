// The millisecond tick and sleep the line logic runs on. Injectable, so the
// transaction's timing is tested on a virtual clock.
#ifndef VELK_PLATFORM_CLOCK_H
#define VELK_PLATFORM_CLOCK_H

#include <stdint.h>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps every 2^32 ms (49.7 days).
  virtual uint32_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // A sleep shorter than a millisecond where the system has one (the wire
  // time of a few characters); elsewhere whole milliseconds, rounded up.
  virtual void SleepUs(uint32_t us) { SleepMs((us + 999u) / 1000u); }
};

// The process's monotonic clock.
Clock& SystemClock();

// True when `now` lies after `deadline`, correct across the wrap of the tick
// as long as the two are less than 2^31 ms apart.
inline bool TickAfter(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) > 0; }

// Milliseconds left until `deadline`, 0 once it has passed.
inline uint32_t TickRemaining(uint32_t now, uint32_t deadline) {
  int32_t left = static_cast<int32_t>(deadline - now);
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

}  // namespace platform

#endif
