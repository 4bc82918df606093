#include <windows.h>

#include "platform/clock.h"

namespace platform {
namespace {

class Win32Clock final : public Clock {
 public:
  uint32_t TickMs() override { return GetTickCount(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace platform
