#include <windows.h>

#include "platform/dynamic_library.h"

namespace platform {

bool DynamicLibrary::Load(const std::string& path) {
  Unload();
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (handle_ == nullptr) {
    error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  error_.clear();
  return true;
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name))
                            : nullptr;
}

}  // namespace platform
