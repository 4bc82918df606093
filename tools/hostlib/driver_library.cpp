#include "driver_library.h"

#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/atoms.h"
#include "platform/inproc_server.h"

namespace hostlib {
namespace {

std::string HResultText(velk::HResult hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
  return text;
}

// The running program's directory, with a trailing separator.
std::string ProgramDirectory() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || self.empty()) self = platform::OwnModulePath();
  if (self.empty()) return std::string();
  return self.parent_path().string() + "/";
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

DriverObject::~DriverObject() {
  if (diag != nullptr) diag->Release();
  if (d2 != nullptr) d2->Release();
  if (d != nullptr) d->Release();
}

int32_t DriverObject::LastOutcome() const {
  return diag != nullptr ? diag->GetLastOutcome() : static_cast<int32_t>(velk::kOutcomeCount);
}

int32_t DriverObject::LastPortError() const {
  return diag != nullptr ? diag->GetLastPortError() : static_cast<int32_t>(velk::kPortOpenOk);
}

bool ParseGuidText(const std::string& text, velk::Guid* guid) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  int consumed = 0;
  const int n = sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                       &b[3], &b[4], &b[5], &b[6], &b[7], &consumed);
  if (n != 11 || consumed != 38 || text.size() != 38) return false;
  guid->data1 = d1;
  guid->data2 = static_cast<uint16_t>(d2);
  guid->data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) guid->data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

std::string GuidText(const velk::Guid& g) {
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2, g.data3,
           g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::string WithThisTreesPaths(std::string text) {
  const std::string dir = ProgramDirectory();
  const std::string build = VELKHOST_BUILD_DIR "/";
  if (build == "/" || dir.compare(0, build.size(), build) != 0) return text;
  const std::pair<std::string, std::string> swaps[] = {{VELK_CONFIG_DIR, VELKHOST_SOURCE_EXAMPLES},
                                                       {VELK_HOSTLIB_INSTALLED_DRIVER, VELK_HOSTLIB_BUILT_DRIVER}};
  for (const auto& [installed, here] : swaps)
    for (size_t at = text.find(installed); at != std::string::npos; at = text.find(installed, at + here.size()))
      text.replace(at, installed.size(), here);
  return text;
}

std::vector<std::string> DriverLibrary::DefaultCandidates() {
  const std::string dir = ProgramDirectory();
  std::vector<std::string> candidates;
  if (!dir.empty()) {
    candidates.push_back(dir + VELK_HOSTLIB_DRIVER_FILE_NAME);
    candidates.push_back(dir + VELK_HOSTLIB_LIBDIR_FROM_BINDIR "/" VELK_HOSTLIB_DRIVER_FILE_NAME);
  }
  if (VELK_HOSTLIB_BUILT_DRIVER[0] != '\0') candidates.push_back(VELK_HOSTLIB_BUILT_DRIVER);
  return candidates;
}

bool DriverLibrary::LoadDefault() {
  const std::vector<std::string> candidates = DefaultCandidates();
  for (const std::string& candidate : candidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return LoadPath(candidate);
  }
  error_ = "cannot find the driver library; looked for:";
  for (const std::string& candidate : candidates) error_ += "\n  " + candidate;
  error_ += "\nGive its path with --library PATH, or its program identifier with --progid " VELK4000_PROGID
            " once it has been registered.";
  return false;
}

bool DriverLibrary::LoadPath(const std::string& path) {
  path_ = path;
  getClassObject_ = nullptr;
  registerServer_ = nullptr;
  getAtomName_ = nullptr;
  deleteAtom_ = nullptr;
  if (!library_.Load(path)) {
    error_ = "cannot load the driver library " + path + ": " + library_.error();
    return false;
  }
  getClassObject_ = reinterpret_cast<VelkDllGetClassObjectFn>(library_.Symbol("DllGetClassObject"));
  registerServer_ = reinterpret_cast<VelkDllRegisterServerFn>(library_.Symbol("DllRegisterServer"));
  getAtomName_ = reinterpret_cast<int (*)(uint16_t, char*, int)>(library_.Symbol("GlobalGetAtomNameA"));
  deleteAtom_ = reinterpret_cast<uint16_t (*)(uint16_t)>(library_.Symbol("GlobalDeleteAtom"));
  // On Windows string values are the system's atoms, which the library does
  // not export: the platform layer reads them from the same table.
  if (getAtomName_ == nullptr) getAtomName_ = &platform::GetGlobalAtomName;
  if (deleteAtom_ == nullptr) deleteAtom_ = &platform::DeleteGlobalAtom;
  if (getClassObject_ == nullptr) {
    error_ = path + " is not a driver library: it has no DllGetClassObject entry point";
    library_.Unload();
    return false;
  }
  return true;
}

bool DriverLibrary::LoadProgramId(const std::string& programId) {
  const std::string recordPath = platform::RegistrationRecordPath(programId.c_str());
  std::ifstream record(recordPath);
  if (!record) {
    error_ = "program identifier " + programId + " is not registered (no record " + recordPath +
             "); run `velkhost register --library PATH` once";
    return false;
  }
  std::string line, clsidText, libraryPath;
  while (std::getline(record, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    if (key == "clsid") clsidText = value;
    if (key == "path") libraryPath = value;
  }
  if (libraryPath.empty()) {
    error_ = "the registration record " + recordPath + " names no library (no path= line)";
    return false;
  }
  velk::Guid clsid = velk::kClsidVelk4000Pro;
  if (!clsidText.empty() && !ParseGuidText(clsidText, &clsid)) {
    error_ = "the registration record " + recordPath + " holds a malformed class identifier: " + clsidText;
    return false;
  }
  if (!LoadPath(libraryPath)) {
    error_ += "\n(the library was found through the registration record " + recordPath + ")";
    return false;
  }
  clsid_ = clsid;
  return true;
}

velk::HResult DriverLibrary::RegisterServer() const {
  return registerServer_ != nullptr ? registerServer_() : velk::kFail;
}

std::unique_ptr<DriverObject> DriverLibrary::CreateDriver() {
  if (getClassObject_ == nullptr) {
    error_ = "no driver library is loaded";
    return nullptr;
  }
  void* factoryOut = nullptr;
  const velk::HResult hr = getClassObject_(clsid_, velk::kIidIClassFactory, &factoryOut);
  if (hr != velk::kOk || factoryOut == nullptr) {
    error_ = path_ + ": DllGetClassObject refused class " + GuidText(clsid_) + " (" + HResultText(hr) + ")";
    if (hr == velk::kClassNotAvailable) error_ += ": the library does not serve this class";
    return nullptr;
  }
  auto* factory = static_cast<velk::IClassFactoryV*>(factoryOut);
  void* driverOut = nullptr;
  const velk::HResult created = factory->CreateInstance(nullptr, velk::kIidIDriver, &driverOut);
  factory->Release();
  if (created != velk::kOk || driverOut == nullptr) {
    error_ = path_ + ": the class factory created no driver object (" + HResultText(created) + ")";
    return nullptr;
  }
  auto* driver = static_cast<velk::IDriver*>(driverOut);
  void* driver2Out = nullptr;
  if (driver->QueryInterface(velk::kIidIDriver2, &driver2Out) != velk::kOk || driver2Out == nullptr) {
    driver->Release();
    error_ = path_ + ": the driver object offers no IDriver2 interface";
    return nullptr;
  }
  // Optional: a library without diagnostics still drives the line, only
  // without reasons.
  void* diagnosticsOut = nullptr;
  if (driver->QueryInterface(velk::kIidIDriverDiagnostics, &diagnosticsOut) != velk::kOk) diagnosticsOut = nullptr;
  return std::make_unique<DriverObject>(driver, static_cast<velk::IDriver2*>(driver2Out),
                                        static_cast<velk::IDriverDiagnostics*>(diagnosticsOut));
}

std::string DriverLibrary::AtomText(uint16_t atom) const {
  if (getAtomName_ == nullptr || atom == 0) return std::string();
  char text[256];
  const int n = getAtomName_(atom, text, sizeof text);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

void DriverLibrary::DeleteAtom(uint16_t atom) const {
  if (deleteAtom_ != nullptr && atom != 0) (void)deleteAtom_(atom);
}

int DriverLibrary::LiveAtomCount() const {
  if (getAtomName_ == nullptr) return -1;
  // Atoms of the table are numbered from 0xC000 up; a live one has a text.
  int count = 0;
  char text[2];
  for (uint32_t atom = 0xC000; atom <= 0xFFFF; ++atom)
    if (getAtomName_(static_cast<uint16_t>(atom), text, sizeof text) > 0) ++count;
  return count;
}

}  // namespace hostlib
