// Loading a shared library by path and finding its entry points by name, for
// programs that host the driver the way the host does.
#ifndef VELK_PLATFORM_DYNAMIC_LIBRARY_H
#define VELK_PLATFORM_DYNAMIC_LIBRARY_H

#include <string>

namespace platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Unload(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads the library at `path`; on failure returns false and keeps the
  // system's reason in error().
  bool Load(const std::string& path);
  void Unload();
  bool loaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace platform

#endif
