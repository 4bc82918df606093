#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/inproc_server.h"

namespace platform {
namespace {

std::string ConfigHome() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

std::string RecordText(const char* clsidText, const std::string& libraryPath) {
  return std::string("clsid=") + clsidText + "\npath=" + libraryPath + "\n";
}

}  // namespace

std::string OwnModulePath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || info.dli_fname == nullptr) return std::string();
  char resolved[4096];
  if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
  return info.dli_fname;
}

std::string RegistrationRecordPath(const char* progId) { return ConfigHome() + "/inproc-servers/" + progId; }

bool RegisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath) {
  const std::string record = RecordText(clsidText, libraryPath);
  const std::string home = ConfigHome();
  if (!MakeDirectory(home) || !MakeDirectory(home + "/inproc-servers")) return false;
  const std::string path = RegistrationRecordPath(progId);
  const std::string temp = path + ".tmp";
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = fwrite(record.data(), 1, record.size(), f) == record.size();
  const bool closed = fclose(f) == 0;
  // Replace the record in one step so that a reader never sees half of it.
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool UnregisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath) {
  const std::string path = RegistrationRecordPath(progId);
  const std::string expected = RecordText(clsidText, libraryPath);
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return errno == ENOENT;
  // One byte more than ours tells a longer record apart.
  std::string found(expected.size() + 1, '\0');
  found.resize(fread(&found[0], 1, found.size(), f));
  fclose(f);
  // A record written by anything else (another copy of the library, a hand
  // edit) is not this library's to remove.
  if (found != expected) return true;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace platform
