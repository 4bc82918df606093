// The message library on POSIX: lib<baseName>.so beside the library that
// contains this code first, then by the loader's own search, exporting
//   int StringResourceLoad(unsigned id, char* buffer, int size);
// which behaves like LoadStringA: it copies at most size - 1 characters,
// terminates the text and returns the number copied (0: no such string).
#include <dlfcn.h>
#include <string.h>

#include <string>

#include "platform/inproc_server.h"
#include "platform/message_library.h"

namespace platform {

MessageLookup LoadMessage(const char* baseName, unsigned id, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return MessageLookup::kNotLoaded;
  buffer[0] = '\0';
  const std::string path = OwnModuleDirectory() + "lib" + baseName + ".so";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) library = dlopen(("lib" + std::string(baseName) + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return MessageLookup::kNotLoaded;
  typedef int (*LoadFn)(unsigned, char*, int);
  LoadFn load = reinterpret_cast<LoadFn>(dlsym(library, "StringResourceLoad"));
  int copied = 0;
  if (load != nullptr) {
    const int limit = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    copied = load(id, buffer, limit);
    if (copied < 0) copied = 0;
    if (static_cast<size_t>(copied) >= size) copied = static_cast<int>(size - 1);
  }
  buffer[copied] = '\0';
  dlclose(library);
  return copied > 0 ? MessageLookup::kFound : MessageLookup::kNoSuchString;
}

}  // namespace platform
