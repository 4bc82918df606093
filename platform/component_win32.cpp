#include <windows.h>

#include <string>

#include "platform/component.h"

namespace platform {
namespace {

HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

bool SetKeyValue(const std::string& key, const char* name, const std::string& value) {
  HKEY handle;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const LONG result = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

}  // namespace

std::string OwnModulePath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(OwnModule(), path, MAX_PATH);
  return (n == 0 || n >= MAX_PATH) ? std::string() : std::string(path, n);
}

std::string RegistrationRecordPath(const char* progId) {
  return std::string("HKEY_CURRENT_USER\\Software\\Classes\\") + progId;
}

bool RegisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath) {
  const std::string classes = "Software\\Classes\\";
  const std::string clsidKey = classes + "CLSID\\" + clsidText;
  bool ok = SetKeyValue(classes + progId, nullptr, progId);
  ok = SetKeyValue(classes + progId + "\\CLSID", nullptr, clsidText) && ok;
  ok = SetKeyValue(clsidKey, nullptr, progId) && ok;
  ok = SetKeyValue(clsidKey + "\\ProgID", nullptr, progId) && ok;
  ok = SetKeyValue(clsidKey + "\\InprocServer32", nullptr, libraryPath) && ok;
  ok = SetKeyValue(clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment") && ok;
  return ok;
}

}  // namespace platform
