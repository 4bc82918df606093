// The message library on POSIX: the same texts as the Windows string table,
// reached through one exported function with the contract of LoadStringA.
#include <string.h>

#include "message_texts.h"

namespace {

struct Message {
  unsigned id;
  const char* text;
};

#define VELK_MESSAGE_ROW(id, text) {id, text},
const Message kMessages[] = {VELK_MESSAGE_TEXTS(VELK_MESSAGE_ROW)};
#undef VELK_MESSAGE_ROW

}  // namespace

// Copies at most size - 1 characters of string `id` into `buffer`,
// terminates it and returns the number copied; 0 when there is no such
// string (or no room for a character).
extern "C" __attribute__((visibility("default"))) int StringResourceLoad(unsigned id, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  for (const Message& message : kMessages) {
    if (message.id != id) continue;
    size_t count = strlen(message.text);
    if (count > static_cast<size_t>(size - 1)) count = static_cast<size_t>(size - 1);
    memcpy(buffer, message.text, count);
    buffer[count] = '\0';
    return static_cast<int>(count);
  }
  return 0;
}
