#include <time.h>

#include "platform/file_time.h"

namespace platform {

uint64_t FileTimeNow() {
  // Seconds from 1601-01-01 to 1970-01-01.
  const uint64_t kEpochDelta = 11644473600ull;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<uint64_t>(ts.tv_sec) + kEpochDelta) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

}  // namespace platform
