// The driver library as the host reaches it: loaded by path or through the
// registration record of its program identifier, entered only through
// DllGetClassObject and the interface slots.
#ifndef VELK_HOSTLIB_DRIVER_LIBRARY_H
#define VELK_HOSTLIB_DRIVER_LIBRARY_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "velk4000/velk4000.h"

namespace hostlib {

// Both interfaces of one driver object, and its optional diagnostics when
// the library offers them; released together, before the library that holds
// their code.
class DriverObject {
 public:
  DriverObject(velk::IDriver* driver, velk::IDriver2* driver2, velk::IDriverDiagnostics* diagnostics = nullptr)
      : d(driver), d2(driver2), diag(diagnostics) {}
  ~DriverObject();
  DriverObject(const DriverObject&) = delete;
  DriverObject& operator=(const DriverObject&) = delete;

  velk::IDriver* const d;
  velk::IDriver2* const d2;
  // Null with a library that does not offer IDriverDiagnostics.
  velk::IDriverDiagnostics* const diag;

  // The outcome of the last packet or probe; kOutcomeCount when unknown.
  int32_t LastOutcome() const;
  // The cause of the last failed port opening; kPortOpenOk when unknown.
  int32_t LastPortError() const;
};

class DriverLibrary {
 public:
  // Loads the library file at `path` and finds its entry points. On failure
  // returns false with a message for a person in error().
  bool LoadPath(const std::string& path);

  // Reads the registration record that DllRegisterServer wrote for
  // `programId` ("clsid=..." and "path=..." lines) and loads that library;
  // objects are then created under the recorded class identifier.
  bool LoadProgramId(const std::string& programId);

  // Loads the library next to this program (or in ../lib beside it, as
  // installed), else the one of the build tree this program came from.
  bool LoadDefault();

  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

  // DllRegisterServer of the loaded library.
  velk::HResult RegisterServer() const;

  // A new driver object with IDriver and IDriver2, or null with a message
  // in error().
  std::unique_ptr<DriverObject> CreateDriver();

  // The text of a string value's atom, through the library's exported atom
  // table (the driver's atoms live in the library's own table). Empty when
  // the atom is unknown.
  std::string AtomText(uint16_t atom) const;
  // Frees one reference to a string value's atom once the host has read it,
  // as a host on Windows does; nothing when the library exports no
  // GlobalDeleteAtom.
  void DeleteAtom(uint16_t atom) const;
  // How many atoms the library's table holds now (by asking each atom number
  // for its text); -1 when the library exports no atom table.
  int LiveAtomCount() const;

  // Where LoadDefault looks, in order.
  static std::vector<std::string> DefaultCandidates();

 private:
  platform::DynamicLibrary library_;
  std::string path_;
  std::string error_;
  velk::Guid clsid_ = velk::kClsidVelk4000Pro;
  VelkDllGetClassObjectFn getClassObject_ = nullptr;
  VelkDllRegisterServerFn registerServer_ = nullptr;
  int (*getAtomName_)(uint16_t, char*, int) = nullptr;
  uint16_t (*deleteAtom_)(uint16_t) = nullptr;
};

// "{F1C9CCD5-B1EF-11D2-8213-00400565D27C}" to a Guid; false for any other
// shape.
bool ParseGuidText(const std::string& text, velk::Guid* guid);
std::string GuidText(const velk::Guid& guid);

// `text` with the installed places of the example files and of the driver
// replaced by those of the build tree when this program runs from it, so
// that a help's examples can be run as they stand.
std::string WithThisTreesPaths(std::string text);

}  // namespace hostlib

#endif
