// What --version prints in every tool: the tool's own version and the
// version of the driver library it would load.
#ifndef VELK_HOSTLIB_VERSION_TEXT_H
#define VELK_HOSTLIB_VERSION_TEXT_H

#include <string>

namespace hostlib {

// "velkd 1.0.0\ndriver library 1.0.0 (/usr/lib/.../libVelk4000.so.1)"; the
// library line says so when none is found or it does not load.
std::string VersionText(const char* program);

// The version a library file carries in its name (libVelk4000.so.1.0.0,
// after its links are followed); "" when it carries none.
std::string LibraryFileVersion(const std::string& path);

}  // namespace hostlib

#endif
