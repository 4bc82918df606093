#include <windows.h>

#include "platform/file_time.h"

namespace platform {

uint64_t FileTimeNow() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace platform
