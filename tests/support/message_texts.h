// The message library's texts by error code, as the tests expect them back
// from GetErrorText.
#ifndef VELK_TESTS_SUPPORT_MESSAGE_TEXTS_H
#define VELK_TESTS_SUPPORT_MESSAGE_TEXTS_H

#include <string>

#include "messages/message_texts.h"

namespace testsupport {

struct MessageRow {
  unsigned id;
  const char* text;
};
#define VELK_TEST_MESSAGE_ROW(id, text) {id, text},
inline const MessageRow kMessages[] = {VELK_MESSAGE_TEXTS(VELK_TEST_MESSAGE_ROW)};
#undef VELK_TEST_MESSAGE_ROW

// The text of `code`, or a marker that no text has that number.
inline std::string MessageOf(int code) {
  for (const MessageRow& m : kMessages)
    if (static_cast<int>(m.id) == code) return m.text;
  return "<no text for " + std::to_string(code) + ">";
}

}  // namespace testsupport

#endif
