// The library's entry points: the class factory of LineDriver, the unload
// query and self-registration and its removal.
#include <new>
#include <string>

#include "driver/line_driver.h"
#include "platform/export.h"
#include "platform/inproc_server.h"
#include "velk4000/velk4000.h"

namespace driver {
namespace {

class ClassFactory final : public velk::IClassFactoryV {
 public:
  velk::HResult VELK_CALL QueryInterface(const velk::Guid& iid, void** out) override {
    if (out == nullptr) return velk::kPointer;
    if (iid == velk::kIidIUnknown || iid == velk::kIidIClassFactory) {
      *out = static_cast<velk::IClassFactoryV*>(this);
      AddRef();
      return velk::kOk;
    }
    *out = nullptr;
    return velk::kNoInterface;
  }
  // The factory is a static object; its references keep the library loaded.
  uint32_t VELK_CALL AddRef() override {
    platform::ModuleLock();
    return 2;
  }
  uint32_t VELK_CALL Release() override {
    platform::ModuleUnlock();
    return 1;
  }
  velk::HResult VELK_CALL CreateInstance(velk::IUnknownV* outer, const velk::Guid& iid, void** out) override {
    if (out == nullptr) return velk::kPointer;
    *out = nullptr;
    if (outer != nullptr) return velk::kNoAggregation;
    // Construction allocates the serial device and the code maps; running out
    // of memory there is a failure to report, not an exception for the host.
    LineDriver* object = nullptr;
    try {
      object = new LineDriver();
    } catch (...) { return velk::kOutOfMemory; }
    object->AddRef();
    const velk::HResult hr = object->QueryInterface(iid, out);
    object->Release();  // destroys the object when the interface was unknown
    return hr;
  }
  velk::HResult VELK_CALL LockServer(int32_t lock) override {
    if (lock)
      platform::ModuleLock();
    else
      platform::ModuleUnlock();
    return velk::kOk;
  }
};

ClassFactory factory;

const char kClsidText[] = "{F1C9CCD5-B1EF-11D2-8213-00400565D27C}";
// SELFREG_E_CLASS: the class's registration could not be changed.
const velk::HResult kRegistrationFailed = static_cast<velk::HResult>(0x80040201u);

}  // namespace
}  // namespace driver

extern "C" {

VELK_EXPORT velk::HResult VELK_CALL DllGetClassObject(const velk::Guid& clsid, const velk::Guid& iid, void** out) {
  if (out == nullptr) return velk::kPointer;
  *out = nullptr;
  if (clsid != velk::kClsidVelk4000Pro) return velk::kClassNotAvailable;
  return driver::factory.QueryInterface(iid, out);
}

VELK_EXPORT velk::HResult VELK_CALL DllCanUnloadNow() {
  return platform::ModuleLockCount() == 0 ? velk::kOk : velk::kFalse;
}

VELK_EXPORT velk::HResult VELK_CALL DllRegisterServer() {
  // Registration failures are not reported: the host treats registration as
  // a formality and finds the library by path as well. Building the path can
  // run out of memory; that must not unwind into the host.
  try {
    platform::RegisterInprocServer(VELK4000_PROGID, driver::kClsidText, platform::OwnModulePath());
  } catch (...) {}
  return velk::kOk;
}

// Not called by the host; `regsvr32 /u` and uninstallers need it.
VELK_EXPORT velk::HResult VELK_CALL DllUnregisterServer() {
  return platform::UnregisterInprocServer(VELK4000_PROGID, driver::kClsidText, platform::OwnModulePath())
             ? velk::kOk
             : driver::kRegistrationFailed;
}

}  // extern "C"
