#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "platform/inproc_server.h"

namespace velkhost {

int RunRegister(const LibraryOptions& libraryOptions) {
  DriverLibrary library;
  bool loaded = !libraryOptions.path.empty() ? library.LoadPath(libraryOptions.path) : library.LoadDefault();
  if (!loaded) {
    fprintf(stderr, "velkhost: %s\n", library.error().c_str());
    return kExitConfig;
  }
  const velk::HResult hr = library.RegisterServer();
  const std::string recordPath = platform::RegistrationRecordPath(VELK4000_PROGID);
  std::ifstream record(recordPath);
  if (hr != velk::kOk || !record) {
    fprintf(stderr, "velkhost: DllRegisterServer of %s returned 0x%08X and no record %s was written\n",
            library.path().c_str(), static_cast<uint32_t>(hr), recordPath.c_str());
    return kExitFailure;
  }
  std::stringstream content;
  content << record.rdbuf();
  // DllRegisterServer reports no failure of its own: a record left from an
  // earlier registration of another library must not pass for this one.
  std::error_code ec;
  const std::string canonical = std::filesystem::weakly_canonical(library.path(), ec).string();
  if (content.str().find("path=" + canonical + "\n") == std::string::npos) {
    fprintf(stderr, "velkhost: DllRegisterServer of %s did not record it in %s, which reads:\n%s", canonical.c_str(),
            recordPath.c_str(), content.str().c_str());
    return kExitFailure;
  }
  printf("registered %s as %s\nrecord %s:\n%s", library.path().c_str(), VELK4000_PROGID, recordPath.c_str(),
         content.str().c_str());
  return kExitOk;
}

}  // namespace velkhost
