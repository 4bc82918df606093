#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/component.h"

namespace platform {
namespace {

std::string ConfigHome() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

}  // namespace

std::string OwnModulePath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || info.dli_fname == nullptr) return std::string();
  char resolved[4096];
  if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
  return info.dli_fname;
}

std::string RegistrationRecordPath(const char* progId) {
  return ConfigHome() + "/inproc-servers/" + progId;
}

bool RegisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath) {
  const std::string home = ConfigHome();
  if (!MakeDirectory(home) || !MakeDirectory(home + "/inproc-servers")) return false;
  const std::string path = RegistrationRecordPath(progId);
  const std::string temp = path + ".tmp";
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = fprintf(f, "clsid=%s\npath=%s\n", clsidText, libraryPath.c_str()) > 0;
  const bool closed = fclose(f) == 0;
  // Replace the record in one step so that a reader never sees half of it.
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
