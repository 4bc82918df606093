// Loads the built driver library by path and reaches it the way the host
// does: by its entry points and interface slots only.
#ifndef VELK_TESTS_SUPPORT_HOST_DRIVER_H
#define VELK_TESTS_SUPPORT_HOST_DRIVER_H

#include <string>

#include "platform/dynamic_library.h"
#include "velk4000/velk4000.h"

namespace testsupport {

class HostLibrary {
 public:
  // Loads the library at `path` (the build's driver by default) or fails the
  // calling test.
  explicit HostLibrary(const std::string& path = VELK_DRIVER_PATH);

  velk::HResult GetClassObject(const velk::Guid& clsid, const velk::Guid& iid, void** out) const;
  velk::HResult CanUnloadNow() const;
  velk::HResult RegisterServer() const;
  velk::HResult UnregisterServer() const;
  void* Symbol(const char* name) const { return library_.Symbol(name); }

  // A new driver object's IDriver interface (one reference), or null.
  velk::IDriver* CreateDriver() const;

 private:
  platform::DynamicLibrary library_;
  VelkDllGetClassObjectFn getClassObject_ = nullptr;
  VelkDllCanUnloadNowFn canUnloadNow_ = nullptr;
  VelkDllRegisterServerFn registerServer_ = nullptr;
  VelkDllUnregisterServerFn unregisterServer_ = nullptr;
};

// Both interfaces of one driver object, released together.
struct HostDriver {
  explicit HostDriver(const HostLibrary& library);
  ~HostDriver();
  HostDriver(const HostDriver&) = delete;
  HostDriver& operator=(const HostDriver&) = delete;

  velk::IDriver* d = nullptr;
  velk::IDriver2* d2 = nullptr;
};

// The text of a global atom, read through the library's exported lookup.
std::string AtomText(const HostLibrary& library, uint16_t atom);

}  // namespace testsupport

#endif
