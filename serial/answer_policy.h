// How one command's answer is collected, as data: the three module families
// differ only in these fields, so one exchange loop serves them all.
#ifndef VELK_SERIAL_ANSWER_POLICY_H
#define VELK_SERIAL_ANSWER_POLICY_H

#include <stdint.h>

namespace serial {

// When an answer is complete. Either way it ends at its first carriage
// return, and bytes after that return in the same read are noise.
enum class AnswerEnd : uint8_t {
  kCarriageReturn,  // any length up to the largest answer
  kFixedLength,     // its carriage return must stand at `length` - 1; a short
                    // answer is complete only as a refusal ("?") or, where
                    // the policy has a busy mark, as the module saying busy
};

// Which deadline bounds the wait for the answer.
enum class AnswerDeadline : uint8_t {
  kSilence,  // restarts with every chunk; the whole answer is bounded as well
  kWhole,    // set once, at the write
};

// The time-out of a policy that takes the line's answer time-out.
const uint32_t kLineTimeout = 0;

struct AnswerPolicy {
  const char* leads;  // an answer begins with one of these; bytes before the first are noise
  AnswerEnd end;
  uint16_t length;  // kFixedLength: bytes of a complete answer, carriage return included
  AnswerDeadline deadline;
  uint32_t timeoutMs;        // kLineTimeout, or a time-out of its own
  bool rtsFramesCommand;     // RTS raised for the write and dropped once it left the wire
  bool firstWait;            // sleeps the line's first wait before the first look
  bool broadcastUnanswered;  // a command holding "#**" is answered by nobody
  // kFixedLength: a shorter answer with this character at `busyAt` is the
  // module's answer that it is busy, not a spoilt one ('\0': none).
  char busyMark;
  uint8_t busyAt;
  // The command changes the module's address or line settings, so it cannot
  // be sent twice to pair its answer with it (see SerialLine::ModuleTiming):
  // its answer is taken as it comes, and its echo must tell whose it is.
  bool changesModule = false;
};

// The three families side by side. Velk modules answer in chunks whose
// silence is timed, behind RS-485 direction control and the line's first
// wait; the Data families answer within one time-out from the write.
using End = AnswerEnd;
using Deadline = AnswerDeadline;
// Fields in order: leads, end, length, deadline, time-out, RTS, first wait, "#**",
// busy mark and its place.
const AnswerPolicy kVelkAnswer = {
    ">!?", End::kCarriageReturn, 0, Deadline::kSilence, kLineTimeout, true, true, true, '\0', 0};
const AnswerPolicy kData7810Answer = {
    "!?", End::kFixedLength, 0, Deadline::kWhole, kLineTimeout, false, false, false, '\0', 0};
const AnswerPolicy kData7210Answer = {
    "!?", End::kCarriageReturn, 0, Deadline::kWhole, kLineTimeout, false, false, false, '\0', 0};

// A Data7810 policy for an answer of `length` bytes.
inline AnswerPolicy Data7810AnswerOf(uint16_t length) {
  AnswerPolicy policy = kData7810Answer;
  policy.length = length;
  return policy;
}

// The same for a command that moves the module to another address or rate.
inline AnswerPolicy Data7810ConfigurationAnswerOf(uint16_t length) {
  AnswerPolicy policy = Data7810AnswerOf(length);
  policy.changesModule = true;
  return policy;
}

// The same for a read the module may answer busy: "!" AA "N", at once and
// shorter than its full answer.
inline AnswerPolicy Data7810BusyAnswerOf(uint16_t length) {
  AnswerPolicy policy = Data7810AnswerOf(length);
  policy.busyMark = 'N';
  policy.busyAt = 3;
  return policy;
}

}  // namespace serial

#endif
