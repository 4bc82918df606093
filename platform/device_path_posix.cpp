#include <sys/stat.h>

#include <string>

#include "platform/device_path.h"

namespace platform {

bool DeviceExists(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  std::string path(name);
  // The same names SerialApi::Open takes: a Windows device prefix is
  // dropped and a bare name is looked up in /dev.
  if (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0) path.erase(0, 4);
  if (!path.empty() && path[0] != '/') path = "/dev/" + path;
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace platform
