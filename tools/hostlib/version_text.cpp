#include "version_text.h"

#include <filesystem>
#include <regex>
#include <system_error>

#include "driver_library.h"

namespace hostlib {

std::string LibraryFileVersion(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::canonical(path, ec);
  std::smatch match;
  const std::string name = ec ? path : file.filename().string();
  if (std::regex_search(name, match, std::regex(R"(\.so\.([0-9]+(\.[0-9]+)*)$)"))) return match[1];
  return std::string();
}

std::string VersionText(const char* program) {
  std::string text = std::string(program) + " " VELK_VERSION "\n";
  DriverLibrary library;
  if (!library.LoadDefault()) return text + "driver library: none found beside " + program + " or in the build";
  std::unique_ptr<DriverObject> driver = library.CreateDriver();
  if (driver == nullptr) return text + "driver library " + library.path() + ": " + library.error();
  const std::string version = LibraryFileVersion(library.path());
  return text + "driver library " + (version.empty() ? "(no version in its file name)" : version) + " (" +
         library.path() + ")";
}

}  // namespace hostlib
