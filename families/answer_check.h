// The one judgement of an answer after its exchange, for every family. A
// refusal ("?") fails the packet as refused. An answer whose checksum or form
// is wrong fails it as well and tells the line, which waits for quiet before
// its next command: such an answer may have been another command's.
#ifndef VELK_FAMILIES_ANSWER_CHECK_H
#define VELK_FAMILIES_ANSWER_CHECK_H

#include <stdint.h>

#include "protocol/encoding.h"
#include "serial/serial_line.h"

namespace families {

// `formOk()` is the family's own rule for the answer's lead, address echo
// and fields; `checksum` says whether the answer carries one.
template <typename FormOk>
bool AnswerUsable(serial::SerialLine& line, const char* answer, int32_t length, bool checksum, FormOk&& formOk) {
  if (length > 0 && answer[0] == '?') {
    line.diagnostics.Fail(velk::kOutcomeRefused);
    return false;
  }
  if (checksum && !protocol::AnswerChecksumOk(answer, length)) {
    line.RejectAnswer(velk::kOutcomeChecksumMismatch);
    return false;
  }
  if (!formOk()) {
    line.RejectAnswer(velk::kOutcomeBadAnswer);
    return false;
  }
  return true;
}

}  // namespace families

#endif
