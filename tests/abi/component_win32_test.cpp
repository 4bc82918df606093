// The component's face on Windows: undecorated exports and the registration
// in the registry that CoCreateInstance reads.
#include <windows.h>

#include <ctype.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/dynamic_library.h"
#include "support/host_driver.h"

namespace {

using testsupport::HostLibrary;

const char kClsidKey[] = "Software\\Classes\\CLSID\\{F1C9CCD5-B1EF-11D2-8213-00400565D27C}";
const char kServerKey[] = "Software\\Classes\\CLSID\\{F1C9CCD5-B1EF-11D2-8213-00400565D27C}\\InprocServer32";
const char kProgIdKey[] = "Software\\Classes\\" VELK4000_PROGID;

// The string value, or "<absent>".
std::string Value(HKEY hive, const char* key, const char* name = nullptr) {
  char text[MAX_PATH + 1] = {};
  DWORD size = sizeof text - 1;
  if (RegGetValueA(hive, key, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) return "<absent>";
  return text;
}

bool KeyExists(HKEY hive, const char* key) {
  HKEY handle;
  if (RegOpenKeyExA(hive, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

// Windows paths compare without case and with either separator.
std::string Normalized(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return path;
}

TEST(Exports, PlainNamesOnly) {
  HostLibrary lib;
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(lib.Symbol(name), nullptr) << name;
  EXPECT_EQ(lib.Symbol("_DllGetClassObject@12"), nullptr);
  EXPECT_EQ(lib.Symbol("DllUnregisterServer@0"), nullptr);

  platform::DynamicLibrary messages;
  ASSERT_TRUE(messages.Load(VELK_MESSAGES_PATH)) << messages.error();
  EXPECT_NE(messages.Symbol("ResourceOnlyEntry"), nullptr);
  EXPECT_EQ(messages.Symbol("ResourceOnlyEntry@12"), nullptr);
}

// Run with the machine's rights, as regsvr32 in the CI's Wine prefix: the
// keys go where HKEY_CLASSES_ROOT shows them to every account.
TEST(Registration, RoundTripUnderTheMachinesClasses) {
  HostLibrary lib;
  ASSERT_EQ(lib.RegisterServer(), velk::kOk);
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kProgIdKey), VELK4000_PROGID);
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, (std::string(kProgIdKey) + "\\CLSID").c_str()),
            "{F1C9CCD5-B1EF-11D2-8213-00400565D27C}");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kServerKey, "ThreadingModel"), "Apartment");
  EXPECT_EQ(Normalized(Value(HKEY_LOCAL_MACHINE, kServerKey)), Normalized(VELK_DRIVER_PATH));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, VELK4000_PROGID "\\CLSID"), "{F1C9CCD5-B1EF-11D2-8213-00400565D27C}");

  // Something another program put beside ours survives the removal.
  HKEY server;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServerKey, 0, KEY_SET_VALUE, &server), ERROR_SUCCESS);
  const char other[] = "kept";
  ASSERT_EQ(RegSetValueExA(server, "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof other),
            ERROR_SUCCESS);
  RegCloseKey(server);

  EXPECT_EQ(lib.UnregisterServer(), velk::kOk);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProgIdKey));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, VELK4000_PROGID));
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kServerKey), "<absent>");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kServerKey, "ThreadingModel"), "<absent>");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kServerKey, "Other"), "kept");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kClsidKey), "<absent>");

  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kServerKey);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kClsidKey);
  EXPECT_EQ(lib.UnregisterServer(), velk::kOk);  // nothing left to remove
}

// A class registered for another copy of the library belongs to that copy.
TEST(Registration, AnotherCopysClassStays) {
  HostLibrary lib;
  HKEY server;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServerKey, 0, nullptr, 0, KEY_WRITE, nullptr, &server, nullptr),
            ERROR_SUCCESS);
  const char path[] = "C:\\elsewhere\\Velk4000.dll";
  ASSERT_EQ(RegSetValueExA(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
            ERROR_SUCCESS);
  RegCloseKey(server);
  EXPECT_EQ(lib.UnregisterServer(), velk::kOk);
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kServerKey), path);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kServerKey);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kClsidKey);
}

}  // namespace
