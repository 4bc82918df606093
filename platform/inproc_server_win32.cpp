#include <windows.h>

#include <string>

#include "platform/inproc_server.h"

namespace platform {
namespace {

HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

const char kClasses[] = "Software\\Classes\\";

// One value the registration writes: key below Software\Classes, value name
// (null: the key's default value) and contents.
struct Entry {
  std::string key;
  const char* name;
  std::string value;
};

// Parents before children, so that writing goes top-down and removing can
// walk the list backwards.
const int kEntryCount = 6;
void Entries(const char* progId, const char* clsidText, const std::string& libraryPath, Entry (&out)[kEntryCount]) {
  const std::string clsidKey = std::string("CLSID\\") + clsidText;
  out[0] = {progId, nullptr, progId};
  out[1] = {std::string(progId) + "\\CLSID", nullptr, clsidText};
  out[2] = {clsidKey, nullptr, progId};
  out[3] = {clsidKey + "\\ProgID", nullptr, progId};
  out[4] = {clsidKey + "\\InprocServer32", nullptr, libraryPath};
  out[5] = {clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment"};
}

// HKEY_CLASSES_ROOT is the machine's Software\Classes merged with the user's;
// a process that may not write the machine's part (and Wine, and service
// accounts, which do not merge the user's part) decide which one is used.
HKEY RegistrationHive() {
  HKEY probe;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes", 0, nullptr, 0, KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                      nullptr, &probe, nullptr) != ERROR_SUCCESS)
    return HKEY_CURRENT_USER;
  RegCloseKey(probe);
  return HKEY_LOCAL_MACHINE;
}

bool SetKeyValue(HKEY hive, const Entry& e) {
  HKEY handle;
  const std::string key = kClasses + e.key;
  if (RegCreateKeyExA(hive, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG result = RegSetValueExA(handle, e.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(e.value.c_str()),
                                     static_cast<DWORD>(e.value.size() + 1));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

enum class ValueState { kAbsent, kSame, kOther };

// Compares a string value with `expected`; paths and identifiers are not
// case-sensitive on Windows.
ValueState ReadValue(HKEY hive, const Entry& e) {
  char text[MAX_PATH + 1];
  DWORD type = 0;
  DWORD size = sizeof text - 1;
  const std::string key = kClasses + e.key;
  const LONG result = RegGetValueA(hive, key.c_str(), e.name, RRF_RT_REG_SZ, &type, text, &size);
  if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) return ValueState::kAbsent;
  if (result != ERROR_SUCCESS) return ValueState::kOther;
  text[sizeof text - 1] = '\0';
  return lstrcmpiA(text, e.value.c_str()) == 0 ? ValueState::kSame : ValueState::kOther;
}

// Deletes the value if it still holds what the registration wrote, then the
// key once nothing else lives in it. False when something of ours stays.
bool RemoveEntry(HKEY hive, const Entry& e) {
  const std::string key = kClasses + e.key;
  HKEY handle;
  LONG result = RegOpenKeyExA(hive, key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &handle);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS) return false;
  bool removed = true;
  if (ReadValue(hive, e) == ValueState::kSame) removed = RegDeleteValueA(handle, e.name) == ERROR_SUCCESS;
  DWORD subKeys = 0, values = 0;
  const bool empty = RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                      nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                     subKeys == 0 && values == 0;
  RegCloseKey(handle);
  if (empty) removed = RegDeleteKeyA(hive, key.c_str()) == ERROR_SUCCESS && removed;
  return removed;
}

// Removes this library's registration from one hive. A class whose server
// is another copy of the library belongs to that copy and stays.
bool RemoveFrom(HKEY hive, const Entry (&entries)[kEntryCount]) {
  if (ReadValue(hive, entries[4]) == ValueState::kOther) return true;
  bool ok = true;
  for (int i = kEntryCount - 1; i >= 0; --i) ok = RemoveEntry(hive, entries[i]) && ok;
  return ok;
}

}  // namespace

std::string OwnModulePath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(OwnModule(), path, MAX_PATH);
  return (n == 0 || n >= MAX_PATH) ? std::string() : std::string(path, n);
}

std::string RegistrationRecordPath(const char* progId) {
  const char* root = RegistrationHive() == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\";
  return std::string(root) + kClasses + progId;
}

bool RegisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath) {
  Entry entries[kEntryCount];
  Entries(progId, clsidText, libraryPath, entries);
  const HKEY hive = RegistrationHive();
  bool ok = true;
  for (const Entry& e : entries) ok = SetKeyValue(hive, e) && ok;
  return ok;
}

bool UnregisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath) {
  Entry entries[kEntryCount];
  Entries(progId, clsidText, libraryPath, entries);
  const HKEY hive = RegistrationHive();
  bool ok = RemoveFrom(hive, entries);
  // A registration made without the machine's rights lives with the user;
  // unregistering with them removes it as well.
  if (hive == HKEY_LOCAL_MACHINE) RemoveFrom(HKEY_CURRENT_USER, entries);
  return ok;
}

}  // namespace platform
