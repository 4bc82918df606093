// A Windows program that finds the driver the way a host's component model
// does: program identifier to class identifier, then CoCreateInstance.
//   cocreate            the class is registered and gives IDriver
//   cocreate --absent   the program identifier is not registered
// Exit status 0 when the expectation holds.
#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include "velk4000/velk4000.h"

namespace {

int Present() {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"" VELK4000_PROGID, &clsid);
  if (FAILED(hr)) {
    fprintf(stderr, "cocreate: CLSIDFromProgID(" VELK4000_PROGID ") failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  if (memcmp(&clsid, &velk::kClsidVelk4000Pro, sizeof clsid) != 0) {
    fprintf(stderr, "cocreate: " VELK4000_PROGID " names another class\n");
    return 1;
  }
  void* out = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, reinterpret_cast<const IID&>(velk::kIidIDriver), &out);
  if (FAILED(hr) || out == nullptr) {
    fprintf(stderr, "cocreate: CoCreateInstance for IDriver failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  auto* driver = static_cast<velk::IDriver*>(out);
  // A working object: a fresh driver has no pending error, and a device
  // address with a letter is refused.
  velk::DeviceRecord device{};
  const bool fresh = driver->GetErrorText() == nullptr;
  const bool refuses = driver->ParseDeviceAddress("1a", &device) == 0 && driver->GetErrorText() != nullptr;
  void* second = nullptr;
  const bool hasSecond = driver->QueryInterface(velk::kIidIDriver2, &second) == velk::kOk && second != nullptr;
  if (hasSecond) static_cast<velk::IDriver2*>(second)->Release();
  driver->Release();
  if (!fresh || !refuses || !hasSecond) {
    fprintf(stderr, "cocreate: the object does not behave as a driver (fresh %d, refuses %d, IDriver2 %d)\n", fresh,
            refuses, hasSecond);
    return 1;
  }
  printf("cocreate: " VELK4000_PROGID " created through the registry\n");
  return 0;
}

int Absent() {
  CLSID clsid;
  const HRESULT hr = CLSIDFromProgID(L"" VELK4000_PROGID, &clsid);
  if (SUCCEEDED(hr)) {
    fprintf(stderr, "cocreate: " VELK4000_PROGID " is still registered\n");
    return 1;
  }
  void* out = nullptr;
  if (SUCCEEDED(CoCreateInstance(reinterpret_cast<const CLSID&>(velk::kClsidVelk4000Pro), nullptr, CLSCTX_INPROC_SERVER,
                                 reinterpret_cast<const IID&>(velk::kIidIDriver), &out))) {
    static_cast<velk::IDriver*>(out)->Release();
    fprintf(stderr, "cocreate: the class can still be created\n");
    return 1;
  }
  printf("cocreate: " VELK4000_PROGID " is not registered\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool absent = argc > 1 && strcmp(argv[1], "--absent") == 0;
  if (FAILED(CoInitialize(nullptr))) {
    fprintf(stderr, "cocreate: CoInitialize failed\n");
    return 1;
  }
  const int status = absent ? Absent() : Present();
  CoUninitialize();
  return status;
}
