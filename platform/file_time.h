// The current time as a file time: 100-ns intervals since 1601-01-01 UTC.
#ifndef VELK_PLATFORM_FILE_TIME_H
#define VELK_PLATFORM_FILE_TIME_H

#include <stdint.h>

namespace platform {

uint64_t FileTimeNow();

}  // namespace platform

#endif
