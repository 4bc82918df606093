#include <time.h>

#include "platform/clock.h"

namespace platform {
namespace {

class PosixClock final : public Clock {
 public:
  uint32_t TickMs() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }
  void SleepMs(uint32_t ms) override {
    timespec ts;
    ts.tv_sec = ms / 1000u;
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    // Sleep the full time even when a signal interrupts.
    while (nanosleep(&ts, &ts) != 0) {}
  }
  void SleepUs(uint32_t us) override {
    timespec ts;
    ts.tv_sec = us / 1000000u;
    ts.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
    while (nanosleep(&ts, &ts) != 0) {}
  }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace platform
