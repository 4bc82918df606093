// Loads the installed driver by the path the package gives, reads a register
// table and fetches an error text, which needs the installed message library
// beside the driver.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <velk4000/velk4000.h>

int main() {
  if (strcmp(PROGRAM_ID, VELK4000_PROGID) != 0) {
    fprintf(stderr, "program identifier %s differs from the header's\n", PROGRAM_ID);
    return 1;
  }
  void* library = dlopen(DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", DRIVER_LIBRARY, dlerror());
    return 1;
  }
  auto getClassObject = reinterpret_cast<VelkDllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  void* factory = nullptr;
  if (getClassObject == nullptr ||
      getClassObject(velk::kClsidVelk4000Pro, velk::kIidIClassFactory, &factory) != velk::kOk) {
    fprintf(stderr, "no class factory\n");
    return 1;
  }
  void* object = nullptr;
  static_cast<velk::IClassFactoryV*>(factory)->CreateInstance(nullptr, velk::kIidIDriver, &object);
  static_cast<velk::IClassFactoryV*>(factory)->Release();
  auto* driver = static_cast<velk::IDriver*>(object);
  if (driver == nullptr) {
    fprintf(stderr, "no driver object\n");
    return 1;
  }
  const velk::RegisterDef* rows = nullptr;
  int32_t count = 0;
  int status = 0;
  if (driver->GetRegisterTable("Velk4017", &rows, &count) != 1 || count != 5 || strcmp(rows[0].name, "AI") != 0) {
    fprintf(stderr, "unexpected register table of Velk4017\n");
    status = 1;
  }
  velk::DeviceRecord device = {};
  const char* text = nullptr;
  if (driver->ParseDeviceAddress("1a", &device) == 0) text = driver->GetErrorText();
  // The fallback text names the message library: seeing it means the
  // message library was not found beside the driver.
  if (text == nullptr || strstr(text, "StringResource") != nullptr) {
    fprintf(stderr, "no message text from %s: %s\n", MESSAGE_LIBRARY, text != nullptr ? text : "(null)");
    status = 1;
  }
  driver->Release();
  if (status == 0) printf("consumer: %d registers of Velk4017; error 11 reads: %s\n", count, text);
  return status;
}
