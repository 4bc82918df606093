#include <windows.h>

#include <string>

#include "platform/message_library.h"

namespace platform {

MessageLookup LoadMessage(const char* baseName, unsigned id, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return MessageLookup::kNotLoaded;
  buffer[0] = '\0';
  const std::string name = std::string(baseName) + ".dll";
  HMODULE library = LoadLibraryA(name.c_str());
  if (library == nullptr) return MessageLookup::kNotLoaded;
  const int limit = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  int copied = LoadStringA(library, id, buffer, limit);
  if (copied < 0) copied = 0;
  buffer[copied < limit ? copied : limit - 1] = '\0';
  FreeLibrary(library);
  return copied > 0 ? MessageLookup::kFound : MessageLookup::kNoSuchString;
}

}  // namespace platform
