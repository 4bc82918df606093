// Loads the separate message library by name, fetches one numbered string
// from it and unloads it again. On Windows it is a resource-only DLL read
// with LoadStringA; on POSIX a shared object beside the calling library that
// exports `StringResourceLoad`.
#ifndef VELK_PLATFORM_MESSAGE_LIBRARY_H
#define VELK_PLATFORM_MESSAGE_LIBRARY_H

#include <stddef.h>

namespace platform {

// Outcome of one lookup.
enum class MessageLookup {
  kFound,         // text copied, at least one character
  kNoSuchString,  // library loaded, but it has no string of that number
  kNotLoaded,     // the library could not be loaded
};

// Looks up string `id` in the message library `baseName` (for example
// "StringResource"). Copies at most `size - 1` characters into `buffer` and
// always terminates it. No handle to the library survives the call.
MessageLookup LoadMessage(const char* baseName, unsigned id, char* buffer, size_t size);

}  // namespace platform

#endif
