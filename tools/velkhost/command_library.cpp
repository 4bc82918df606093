#include <stdio.h>

#include <filesystem>
#include <system_error>

#include "commands.h"

namespace velkhost {

int RunLibrary(const LibraryOptions& libraryOptions) {
  DriverLibrary library;
  std::unique_ptr<DriverObject> driver;
  if (!LoadDriver(libraryOptions, &library, &driver)) return kExitConfig;
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::weakly_canonical(library.path(), ec);
  printf("driver library: %s\n", path.string().c_str());
  // The driver finds its message library beside itself, by this name.
  const std::filesystem::path messages = path.parent_path() / VELK_HOSTLIB_MESSAGES_FILE_NAME;
  const bool beside = std::filesystem::is_regular_file(messages, ec);
  printf("message library: %s%s\n", messages.string().c_str(),
         beside ? "" : " (missing: error texts fall back to one fixed text)");
  printf("driver object: created, IDriver and IDriver2 present\n");
  return kExitOk;
}

}  // namespace velkhost
