#include <atomic>

#include "platform/inproc_server.h"

namespace platform {
namespace {
std::atomic<long> lockCount{0};
}  // namespace

void ModuleLock() { ++lockCount; }
void ModuleUnlock() { --lockCount; }
long ModuleLockCount() { return lockCount.load(); }

std::string OwnModuleDirectory() {
  const std::string path = OwnModulePath();
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace platform
