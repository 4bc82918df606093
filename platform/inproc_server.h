// Plumbing of the in-process component model that the product does not own:
// the library's lock count, its own file path and the registration record
// that maps a program identifier and class identifier to the library.
#ifndef VELK_PLATFORM_INPROC_SERVER_H
#define VELK_PLATFORM_INPROC_SERVER_H

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
// at `libraryPath`. Windows: the program identifier, class and in-process
// server keys under HKEY_LOCAL_MACHINE\Software\Classes (what
// HKEY_CLASSES_ROOT shows) when the process may write there, else under
// HKEY_CURRENT_USER\Software\Classes. POSIX: the file
// $XDG_CONFIG_HOME/inproc-servers/<progId> (default ~/.config), with the
// lines "clsid=<clsid>" and "path=<library>". Returns false when the record
// could not be written.
bool RegisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath);

// Removes what RegisterInprocServer wrote for the same arguments, and only
// that: values and keys that hold something else stay, and so does a
// registration naming another library. Returns false when part of this
// library's registration could not be removed; nothing to remove is success.
bool UnregisterInprocServer(const char* progId, const char* clsidText, const std::string& libraryPath);

// Where the registration of `progId` is kept: the file a host reads on
// POSIX, the registry key on Windows.
std::string RegistrationRecordPath(const char* progId);

}  // namespace platform

#endif
