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

}  // namespace

int32_t SerialLine::Transact(char* buffer, int32_t* length) {
  if (buffer == nullptr || length == nullptr || *length < 0) return 0;
  const uint32_t commandLength = static_cast<uint32_t>(*length);
  uint32_t written = 0;

  // A failed broadcast is not given up: it is written again below and waited
  // on like any other command.
  if (ContainsBroadcast(buffer, *length) && WriteCommand(portHandle, buffer, commandLength, &written) == 1)
    return diagnostics.Sent(buffer, commandLength, clock_.TickMs()), 1;
  if (WriteCommand(portHandle, buffer, commandLength, &written) != 1)
    return diagnostics.Fail(portHandle == platform::kNoHandle ? velk::kOutcomeNoPort : velk::kOutcomePortLost), 0;
  diagnostics.Sent(buffer, commandLength, clock_.TickMs());

  memset(buffer, 0, 4);
  const uint32_t timeout = static_cast<uint32_t>(answerTimeoutMs);
  uint32_t deadline = clock_.TickMs() + timeout;
  *length = 0;
  clock_.SleepMs(pollDelayMs);

  char chunk[kMaxChunk];
  for (;;) {
    const uint32_t now = clock_.TickMs();
    if (platform::TickAfter(now, deadline))
      return diagnostics.Fail(*length > 0 ? velk::kOutcomeNoCarriageReturn : velk::kOutcomeNoAnswer), 0;
    platform::CommStatus status;
    api_.Status(portHandle, &status);
    uint32_t got = 0;
    if (status.inQueue > 0) {
      const uint32_t want = status.inQueue < kMaxChunk ? status.inQueue : kMaxChunk;
      if (!api_.Read(portHandle, chunk, want, &got)) return diagnostics.Fail(velk::kOutcomePortLost), 0;
    }
    if (got == 0) {
      // One past the deadline, so that the next look finds it passed.
      if (api_.WaitForInput(portHandle, platform::TickRemaining(now, deadline) + 1) == platform::WaitResult::kHangUp)
        return diagnostics.Fail(velk::kOutcomePortLost), 0;
      continue;
    }
    diagnostics.Received(chunk, got, clock_.TickMs());
    if (*length + static_cast<int32_t>(got) > kMaxAnswer) return diagnostics.Fail(velk::kOutcomeAnswerTooLong), 0;
    memcpy(buffer + *length, chunk, got);
    *length += static_cast<int32_t>(got);
    if (buffer[*length - 1] == kCarriageReturn) return 1;
    deadline = clock_.TickMs() + timeout;
  }
}

int32_t SerialLine::WriteCommand(platform::Handle port, const char* bytes, uint32_t count, uint32_t* written) {
  uint32_t accepted = 0;
  if (written == nullptr) written = &accepted;
  *written = 0;
  if (port == platform::kNoHandle || (bytes == nullptr && count > 0)) return 0;
  if (rtsControl == 0) return api_.Write(port, bytes, count, written) ? 1 : 0;

  const uint32_t kOutput = platform::kPurgeTxAbort | platform::kPurgeTxClear;
  const uint32_t kInput = platform::kPurgeRxAbort | platform::kPurgeRxClear;
  api_.SetRts(port, true);
  api_.Purge(port, kOutput);
  if (!api_.Write(port, bytes, count, written)) {
    api_.Purge(port, kOutput);
    api_.SetRts(port, false);
    api_.Purge(port, kInput);
    return 0;
  }

  // Polled without sleeping: RTS must drop the moment the last character
  // has left, or the start of the module's answer collides with it.
  const uint32_t deadline = clock_.TickMs() + static_cast<uint32_t>(answerTimeoutMs);
  for (;;) {
    platform::CommStatus status;
    api_.Status(port, &status);
    if (status.outQueue == 0) {
      api_.SetRts(port, false);
      return 1;
    }
    if (platform::TickAfter(clock_.TickMs(), deadline)) break;
  }
  // A transmitter that never drains must not keep the bus: give it back.
  api_.Purge(port, kOutput);
  api_.SetRts(port, false);
  return 0;
}

}  // namespace serial
