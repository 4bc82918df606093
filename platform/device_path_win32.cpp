#include <windows.h>

#include <string>

#include "platform/device_path.h"

namespace platform {

bool DeviceExists(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  std::string device(name);
  if (device.compare(0, 4, "\\\\.\\") == 0 || device.compare(0, 4, "//./") == 0) device.erase(0, 4);
  char target[512];
  return QueryDosDeviceA(device.c_str(), target, sizeof target) != 0;
}

}  // namespace platform
