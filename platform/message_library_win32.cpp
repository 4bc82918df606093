// The message library on Windows: a resource-only DLL read with LoadStringA.
// It is looked for beside the library that contains this code first: a bare
// name would make the system search the host program's folder, which is
// seldom the driver's. The system's search is the second chance.
#include <windows.h>

#include <string>

#include "platform/inproc_server.h"
#include "platform/message_library.h"

namespace platform {

MessageLookup LoadMessage(const char* baseName, unsigned id, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return MessageLookup::kNotLoaded;
  buffer[0] = '\0';
  const std::string name = std::string(baseName) + ".dll";
  const std::string directory = OwnModuleDirectory();
  HMODULE library = directory.empty() ? nullptr : LoadLibraryA((directory + name).c_str());
  if (library == nullptr) library = LoadLibraryA(name.c_str());
  if (library == nullptr) return MessageLookup::kNotLoaded;
  const int limit = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  int copied = LoadStringA(library, id, buffer, limit);
  if (copied < 0) copied = 0;
  buffer[copied < limit ? copied : limit - 1] = '\0';
  FreeLibrary(library);
  return copied > 0 ? MessageLookup::kFound : MessageLookup::kNoSuchString;
}

}  // namespace platform
