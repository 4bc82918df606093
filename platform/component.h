// Plumbing of the in-process component model that the product does not own:
// the library's lock count, its own file path and the registration record
// that maps a program identifier and class identifier to the library.
#ifndef VELK_PLATFORM_COMPONENT_H
#define VELK_PLATFORM_COMPONENT_H

#include <string>

namespace platform {

// Objects and server locks outstanding; unloading is allowed at zero.
void ModuleLock();
void ModuleUnlock();
long ModuleLockCount();

// Full path of the loaded library (or program) that contains this code.
std::string OwnModulePath();

// Directory of OwnModulePath(), with a trailing separator.
std::string OwnModuleDirectory();

// Records that `progId` and `clsidText` ("{...}") are served by the library
// at `libraryPath`. Windows: HKEY_CURRENT_USER\Software\Classes. POSIX: the
// file $XDG_CONFIG_HOME/inproc-servers/<progId> (default ~/.config), with the
// lines "clsid=<clsid>" and "path=<library>". Returns false when the record
// could not be written.
bool RegisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath);

// The registration file a host reads on POSIX for `progId`.
std::string RegistrationRecordPath(const char* progId);

}  // namespace platform

#endif
