#include "support/host_driver.h"

#include <gtest/gtest.h>

namespace testsupport {

HostLibrary::HostLibrary(const std::string& path) {
  if (!library_.Load(path)) {
    ADD_FAILURE() << "cannot load " << path << ": " << library_.error();
    return;
  }
  getClassObject_ = reinterpret_cast<VelkDllGetClassObjectFn>(library_.Symbol("DllGetClassObject"));
  canUnloadNow_ = reinterpret_cast<VelkDllCanUnloadNowFn>(library_.Symbol("DllCanUnloadNow"));
  registerServer_ = reinterpret_cast<VelkDllRegisterServerFn>(library_.Symbol("DllRegisterServer"));
  EXPECT_NE(getClassObject_, nullptr);
  EXPECT_NE(canUnloadNow_, nullptr);
  unregisterServer_ = reinterpret_cast<VelkDllUnregisterServerFn>(library_.Symbol("DllUnregisterServer"));
  EXPECT_NE(registerServer_, nullptr);
  EXPECT_NE(unregisterServer_, nullptr);
}

velk::HResult HostLibrary::GetClassObject(const velk::Guid& clsid, const velk::Guid& iid, void** out) const {
  return getClassObject_ != nullptr ? getClassObject_(clsid, iid, out) : velk::kFail;
}
velk::HResult HostLibrary::CanUnloadNow() const { return canUnloadNow_ != nullptr ? canUnloadNow_() : velk::kFail; }
velk::HResult HostLibrary::RegisterServer() const {
  return registerServer_ != nullptr ? registerServer_() : velk::kFail;
}

velk::HResult HostLibrary::UnregisterServer() const {
  return unregisterServer_ != nullptr ? unregisterServer_() : velk::kFail;
}

velk::IDriver* HostLibrary::CreateDriver() const {
  void* factory = nullptr;
  if (GetClassObject(velk::kClsidVelk4000Pro, velk::kIidIClassFactory, &factory) != velk::kOk) return nullptr;
  auto* cf = static_cast<velk::IClassFactoryV*>(factory);
  void* driver = nullptr;
  cf->CreateInstance(nullptr, velk::kIidIDriver, &driver);
  cf->Release();
  return static_cast<velk::IDriver*>(driver);
}

HostDriver::HostDriver(const HostLibrary& library) {
  d = library.CreateDriver();
  if (d == nullptr) {
    ADD_FAILURE() << "no driver object";
    return;
  }
  void* second = nullptr;
  if (d->QueryInterface(velk::kIidIDriver2, &second) != velk::kOk) ADD_FAILURE() << "no IDriver2";
  d2 = static_cast<velk::IDriver2*>(second);
}

HostDriver::~HostDriver() {
  if (d2 != nullptr) d2->Release();
  if (d != nullptr) d->Release();
}

std::string AtomText(const HostLibrary& library, uint16_t atom) {
  typedef int (*GetAtomNameFn)(uint16_t, char*, int);
  auto fn = reinterpret_cast<GetAtomNameFn>(library.Symbol("GlobalGetAtomNameA"));
  if (fn == nullptr) return "<no GlobalGetAtomNameA>";
  char buffer[256];
  const int n = fn(atom, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace testsupport
