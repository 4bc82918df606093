// The message of a pending configuration error, fetched once from the
// separate message library.
#include "driver/line_driver.h"
#include "platform/message_library.h"

#include <string.h>

namespace driver {
namespace {

const char kMessageLibrary[] = "StringResource";
const char kFallbackText[] = "Load string resource file StringResource.dll fail!";

// One buffer per thread, not per process: two host threads that serve two
// lines each keep their own text until their own next call.
constexpr size_t kMessageBufferSize = 512;
thread_local char messageBuffer[kMessageBufferSize];
// Texts are fetched with room for 510 characters and their terminator, as
// hosts have always received them; the buffer's last byte stays spare.
constexpr size_t kMessageFetchSize = kMessageBufferSize - 1;

}  // namespace

const char* LineDriver::GetErrorText() {
  if (errorCode == -1) return nullptr;
  const platform::MessageLookup lookup =
      platform::LoadMessage(kMessageLibrary, static_cast<unsigned>(errorCode), messageBuffer, kMessageFetchSize);
  if (lookup != platform::MessageLookup::kFound) memcpy(messageBuffer, kFallbackText, sizeof kFallbackText);
  // The code is spent whether or not the library knew it.
  errorCode = -1;
  return messageBuffer;
}

}  // namespace driver
