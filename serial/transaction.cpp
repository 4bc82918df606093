// The command transaction: one command line out with RS-485 direction
// control, the answer line back, complete only when a read ends with a
// carriage return. Nothing here allocates: it runs on every packet.
#include <string.h>

#include "serial/serial_line.h"

namespace serial {
namespace {

const char kCarriageReturn = '\r';
const char kBroadcast[] = "#**";  // addressed to every module; none answers

bool ContainsBroadcast(const char* bytes, int32_t length) {
  const int32_t n = static_cast<int32_t>(sizeof kBroadcast - 1);
  for (int32_t i = 0; i + n <= length; ++i) {
    if (memcmp(bytes + i, kBroadcast, n) == 0) return true;
  }
  return false;
}

// Every answer begins with one of these; what comes before it is noise from
// the bus turning round (0x00, 0xFF) and would shift every position read.
bool BeginsAnswer(char c) { return c == '>' || c == '!' || c == '?'; }

}  // namespace

int32_t SerialLine::Transact(char* buffer, int32_t* length) {
  if (buffer == nullptr || length == nullptr || *length < 0) return 0;
  const uint32_t commandLength = static_cast<uint32_t>(*length);
  const platform::Handle port = PortForExchange();
  if (port == platform::kNoHandle) return 0;
  uint32_t written = 0;

  // A failed broadcast is not given up: it is written again below and waited
  // on like any other command.
  if (ContainsBroadcast(buffer, *length) && WriteCommand(port, buffer, commandLength, &written) == 1) return 1;
  if (WriteCommand(port, buffer, commandLength, &written) != 1) {
    FailOnPort(port, velk::kOutcomeNoAnswer);
    return 0;
  }

  memset(buffer, 0, 4);
  const uint32_t timeout = static_cast<uint32_t>(answerTimeoutMs);
  const uint32_t start = clock_.TickMs();
  // The silence between chunks restarts with every chunk; the whole answer
  // is bounded as well, so that a line trickling a byte now and then cannot
  // hold the host's thread.
  const uint32_t wholeDeadline = start + WholeAnswerBoundMs();
  uint32_t deadline = start + timeout;
  *length = 0;
  if (pollDelayMs != 0) clock_.SleepMs(pollDelayMs);

  char chunk[kMaxChunk];
  uint32_t now = pollDelayMs != 0 ? clock_.TickMs() : start;
  for (;;) {
    if (platform::TickAfter(now, deadline) || platform::TickAfter(now, wholeDeadline)) {
      diagnostics.Fail(*length > 0 ? velk::kOutcomeNoCarriageReturn : velk::kOutcomeNoAnswer);
      return 0;
    }
    const uint32_t left = platform::TickRemaining(now, platform::TickAfter(deadline, wholeDeadline) ? wholeDeadline
                                                                                                   : deadline);
    // One past the deadline, so that the next look finds it passed.
    const platform::WaitResult woke = api_.WaitForInput(port, left + 1);
    if (woke == platform::WaitResult::kHangUp) {
      NotePortLost();
      diagnostics.Fail(velk::kOutcomePortLost);
      return 0;
    }
    uint32_t got = 0;
    if (woke == platform::WaitResult::kInput && !api_.Read(port, chunk, kMaxChunk, &got)) {
      NotePortLost();
      diagnostics.Fail(velk::kOutcomePortLost);
      return 0;
    }
    now = clock_.TickMs();
    if (got == 0) continue;
    diagnostics.Received(chunk, got, now);

    const char* kept = chunk;
    if (*length == 0) {
      while (got > 0 && !BeginsAnswer(*kept)) {
        ++kept;
        --got;
      }
      if (got == 0) continue;  // noise only: the deadline does not restart for it
    }
    if (*length + static_cast<int32_t>(got) > kMaxAnswer) {
      diagnostics.Fail(velk::kOutcomeAnswerTooLong);
      return 0;
    }
    memcpy(buffer + *length, kept, got);
    *length += static_cast<int32_t>(got);
    if (buffer[*length - 1] == kCarriageReturn) return 1;
    deadline = now + timeout;
  }
}

int32_t SerialLine::WriteCommand(platform::Handle port, const char* bytes, uint32_t count, uint32_t* written) {
  uint32_t accepted = 0;
  if (written == nullptr) written = &accepted;
  *written = 0;
  if (port == platform::kNoHandle || (bytes == nullptr && count > 0)) return 0;

  // Whatever waits in the input queue belongs to an earlier command (an
  // answer that came after its time-out): it must not be taken as this
  // command's answer. One call clears both queues.
  const uint32_t kOutput = platform::kPurgeTxAbort | platform::kPurgeTxClear;
  const uint32_t kInput = platform::kPurgeRxAbort | platform::kPurgeRxClear;
  api_.Purge(port, kOutput | kInput);
  // A port that takes no direction from the driver (no RTS line, or the
  // system switches it) is written as it stands: there is nothing to drop
  // after the write, so nothing to wait for either.
  if (rtsControl == 0 || !api_.SetRts(port, true)) {
    const bool ok = api_.Write(port, bytes, count, written);
    if (ok) diagnostics.Sent(bytes, count, clock_.TickMs());
    return ok ? 1 : 0;
  }
  if (!api_.Write(port, bytes, count, written)) {
    api_.Purge(port, kOutput);
    api_.SetRts(port, false);
    api_.Purge(port, kInput);
    return 0;
  }
  diagnostics.Sent(bytes, count, clock_.TickMs());
  if (WaitUntilSent(port)) {
    api_.SetRts(port, false);
    return 1;
  }
  // A transmitter that never drains must not keep the bus: give it back.
  api_.Purge(port, kOutput);
  api_.SetRts(port, false);
  return 0;
}

bool SerialLine::WaitUntilSent(platform::Handle port) {
  // RTS must drop the moment the last character has left, or the start of
  // the module's answer collides with it; the wait sleeps through the wire
  // time still queued instead of asking the port over and over.
  const uint32_t deadline = clock_.TickMs() + static_cast<uint32_t>(answerTimeoutMs);
  for (;;) {
    platform::CommStatus status;
    if (!api_.Status(port, &status)) return false;
    if (status.outQueue == 0) return true;
    const uint32_t now = clock_.TickMs();
    if (platform::TickAfter(now, deadline)) return false;
    const uint64_t wireUs = static_cast<uint64_t>(status.outQueue) * charTimeUs_;
    const uint64_t leftUs = static_cast<uint64_t>(platform::TickRemaining(now, deadline)) * 1000u + 1000u;
    clock_.SleepUs(static_cast<uint32_t>(wireUs < leftUs ? wireUs : leftUs));
  }
}

}  // namespace serial
