// The one exchange: a command line out (with RS-485 direction control where
// the policy asks for it), the answer line back, ended at its first carriage
// return. Nothing here allocates: it runs on every packet.
#include <string.h>

#include "protocol/encoding.h"
#include "serial/command_echo.h"
#include "serial/serial_line.h"

namespace serial {
namespace {

const char kCarriageReturn = '\r';
const char kRefusal = '?';
const char kBroadcast[] = "#**";  // addressed to every module; none answers

bool ContainsBroadcast(const char* bytes, uint32_t length) {
  const uint32_t n = static_cast<uint32_t>(sizeof kBroadcast - 1);
  for (uint32_t i = 0; i + n <= length; ++i) {
    if (memcmp(bytes + i, kBroadcast, n) == 0) return true;
  }
  return false;
}

bool IsLead(const char* leads, char c) { return c != '\0' && strchr(leads, c) != nullptr; }

// A closed answer shorter than a fixed-length policy's length that is still
// the module's answer: a refusal, or the busy answer the policy names. Either
// came in time, so neither is a failure the line must guard against.
bool IsShortAnswer(const AnswerPolicy& policy, const char* answer, uint32_t stored) {
  if (answer[0] == kRefusal) return true;
  return policy.busyMark != '\0' && policy.busyAt + 1u < stored && answer[policy.busyAt] == policy.busyMark;
}

// The module a command addresses: every family's command names it in its
// second and third characters. -1 when they are not an address.
int32_t ModuleOf(const char* command, uint32_t length) {
  if (command == nullptr || length < 3) return -1;
  return protocol::HexPairValue(command[1], command[2]);
}

}  // namespace

int32_t SerialLine::FailExchange(int32_t why) {
  diagnostics.Fail(why);
  lastFailure_ = why;
  NoteOutOfStep();
  failedAt_ = commandAt_;
  failedModule_ = commandModule_;
  lateSeen_ = false;
  return 0;
}

int32_t SerialLine::Exchange(const char* command, uint32_t commandLength, const AnswerPolicy& policy, char* answer,
                             uint32_t capacity, uint32_t* answerLength) {
  if (answerLength == nullptr || answer == nullptr || (command == nullptr && commandLength > 0)) return 0;
  *answerLength = 0;
  platform::Port* const port = PortForExchange();
  if (port == nullptr) return 0;
  const uint32_t timeout = policy.timeoutMs != kLineTimeout
                               ? policy.timeoutMs
                               : static_cast<uint32_t>(answerTimeoutMs > 0 ? answerTimeoutMs : 0);
  const uint32_t callStart = clock_.TickMs();
  const int32_t module = ModuleOf(command, commandLength);
  // Nothing goes out to a module whose answers cannot be paired with their
  // commands, nor while its late answers are still due: the command's
  // answer could not be told from theirs.
  if (HeldBackAsTooLate(module, callStart)) {
    diagnostics.Fail(velk::kOutcomeNoAnswer);
    return 0;
  }
  // Only the command after a failure pays for the wait.
  if (outOfStep_ && !AwaitQuiet(port, timeout, callStart)) {
    diagnostics.Fail(velk::kOutcomeNoAnswer);
    return 0;
  }
  if (module >= 0 && !policy.changesModule && (modules_[module].unpaired || modules_[module].tooLateMs != 0))
    return ExchangePaired(port, module, command, commandLength, policy, timeout, callStart, answer, capacity,
                          answerLength);
  return SendAndCollect(port, command, commandLength, policy, timeout, callStart, answer, capacity, answerLength);
}

int32_t SerialLine::ExchangePaired(platform::Port* port, int32_t module, const char* command, uint32_t commandLength,
                                   const AnswerPolicy& policy, uint32_t timeoutMs, uint32_t callStart, char* answer,
                                   uint32_t capacity, uint32_t* answerLength) {
  ModuleTiming& timing = modules_[module];
  const uint32_t before = timing.commandAt;
  if (timing.tooLateMs != 0) NoteTooLateCheck(module);
  // The first answer is collected aside, so that the command (which may
  // share the answer's buffer) can go out again unchanged.
  char first[kMaxAnswer];
  uint32_t firstLength = 0;
  if (SendAndCollect(port, command, commandLength, policy, timeoutMs, callStart, first, sizeof first, &firstLength) ==
      0) {
    const uint32_t kept = firstLength < capacity ? firstLength : capacity;
    memcpy(answer, first, kept);
    *answerLength = kept;
    WaitOutTooLateAnswers(port, timeoutMs, callStart);
    return 0;
  }
  if (firstLength == 0) return 1;  // a broadcast nobody answers
  const uint32_t firstAt = answerAt_;
  const uint32_t firstCommandAt = timing.commandAt;
  const uint32_t secondStart = clock_.TickMs();
  if (SendAndCollect(port, command, commandLength, policy, timeoutMs, secondStart, answer, capacity, answerLength) ==
      1) {
    // Answered twice in time: the module answers its own commands.
    timing.unpaired = false;
    timing.tooLateMs = 0;
    timing.recheckMs = 0;
    return 1;
  }
  // The first answer belonged to an earlier command: at the latest the one
  // before this call's. This call's first command is now the earliest whose
  // answer is still due.
  if (lastFailure_ == velk::kOutcomeNoAnswer) {
    NoteLateness(module, firstAt - before);
    timing.unansweredAt = firstCommandAt;
  }
  WaitOutTooLateAnswers(port, timeoutMs, secondStart);
  return 0;
}

int32_t SerialLine::SendAndCollect(platform::Port* port, const char* command, uint32_t commandLength,
                                   const AnswerPolicy& policy, uint32_t timeout, uint32_t callStart, char* answer,
                                   uint32_t capacity, uint32_t* answerLength) {
  *answerLength = 0;
  uint32_t written = 0;
  // A failed broadcast is not given up: it is written again below and waited
  // on like any other command.
  if (policy.broadcastUnanswered && ContainsBroadcast(command, commandLength) &&
      WriteCommand(port, command, commandLength, &written, policy.rtsFramesCommand) == 1)
    return 1;
  if (WriteCommand(port, command, commandLength, &written, policy.rtsFramesCommand) != 1) {
    FailOnPort(port, velk::kOutcomeNoAnswer);
    NoteOutOfStep();
    return 0;
  }
  const uint32_t start = commandAt_;
  commandModule_ = ModuleOf(command, commandLength);
  if (commandModule_ >= 0) modules_[commandModule_].commandAt = start;
  CommandEcho echo;
  echo.Expect(command, commandLength, policy.leads);
  // The answer may be collected over the command itself.
  memset(answer, 0, capacity < 4 ? capacity : 4);

  // With the silence deadline, the whole answer is bounded as well, so that
  // a line trickling a byte now and then cannot hold the host's thread; the
  // bound counts from the start of the call, the guard included.
  const bool silence = policy.deadline == AnswerDeadline::kSilence;
  uint32_t wholeDeadline = silence ? callStart + WholeAnswerBoundMs() : start + timeout;
  uint32_t deadline = start + timeout;
  const uint32_t fixed = policy.end == AnswerEnd::kFixedLength ? policy.length : 0;
  const uint32_t limit = capacity < static_cast<uint32_t>(kMaxAnswer) ? capacity : static_cast<uint32_t>(kMaxAnswer);
  if (policy.firstWait && pollDelayMs != 0) clock_.SleepMs(pollDelayMs);

  char chunk[kMaxChunk];
  uint32_t stored = 0;
  uint32_t now = policy.firstWait && pollDelayMs != 0 ? clock_.TickMs() : start;
  for (;;) {
    if (platform::TickAfter(now, deadline) || platform::TickAfter(now, wholeDeadline)) {
      if (echo.state() == CommandEcho::State::kUnderWay) return FailOnCollision();  // an echo cut short
      return FailExchange(stored > 0 ? velk::kOutcomeNoCarriageReturn : velk::kOutcomeNoAnswer);
    }
    const uint32_t left =
        platform::TickRemaining(now, platform::TickAfter(deadline, wholeDeadline) ? wholeDeadline : deadline);
    // One past the deadline, so that the next look finds it passed.
    const platform::WaitResult woke = port->Wait(left + 1);
    if (woke == platform::WaitResult::kHangUp) {
      NotePortLost();
      return FailExchange(velk::kOutcomePortLost);
    }
    uint32_t got = 0;
    if (woke == platform::WaitResult::kInput && !port->Read(chunk, kMaxChunk, &got)) {
      NotePortLost();
      return FailExchange(velk::kOutcomePortLost);
    }
    now = clock_.TickMs();
    if (got == 0) continue;
    // A read that took less than it asked for emptied the input queue.
    const bool queueEmptied = got < kMaxChunk;
    diagnostics.Received(chunk, got, now);

    const char* kept = chunk;
    if (stored == 0) {
      // The command's echo goes, and noise from the bus turning round (0x00,
      // 0xFF), which would shift every position read.
      const bool echoBegun = echo.begun();
      bool echoed = false;
      while (got > 0) {
        const uint32_t taken = echo.Take(kept, got);
        kept += taken;
        got -= taken;
        echoed = echoed || taken > 0;
        if (echo.state() == CommandEcho::State::kDiffers) return FailOnCollision();
        if (got == 0 || IsLead(policy.leads, *kept)) break;
        ++kept;
        --got;
      }
      // The echo took the command's wire time of the call; the answer's
      // time-out starts behind it.
      if (!echoBegun && echo.begun()) wholeDeadline += CommandWireMs(commandLength);
      if (echoed) deadline = now + timeout;
      if (got == 0) continue;  // noise only: the deadline does not restart for it
      answerAt_ = now;
    }
    // The answer ends at its first carriage return (or where a fixed-length
    // answer must have it); what follows in the same read is noise.
    uint32_t take = got;
    const void* end = memchr(kept, kCarriageReturn, got);
    if (end != nullptr) take = static_cast<uint32_t>(static_cast<const char*>(end) - kept) + 1;
    if (fixed != 0 && stored + take > fixed) take = fixed - stored;
    if (stored + take > limit) return FailExchange(velk::kOutcomeAnswerTooLong);
    memcpy(answer + stored, kept, take);
    stored += take;
    *answerLength = stored;
    const bool closed = answer[stored - 1] == kCarriageReturn;
    if (closed || (fixed != 0 && stored == fixed)) {
      // A fixed-length answer must have its return where its length puts
      // it; only a refusal, or a busy module's short answer, may be shorter.
      if (fixed != 0 && !(stored == fixed && closed) && !(closed && IsShortAnswer(policy, answer, stored)))
        return FailExchange(velk::kOutcomeBadAnswer);
      outOfStep_ = false;
      // Nothing followed the answer when it was read: the next command
      // needs no discard before it.
      inputSettled_ = queueEmptied && take == got;
      return 1;
    }
    if (silence) deadline = now + timeout;
  }
}

int32_t SerialLine::FailOnCollision() {
  // Whatever the module answers to a garbled command is not used: the guard
  // before the next command drops it, as after any unusable answer.
  RejectAnswer(velk::kOutcomeBusCollision);
  return 0;
}

uint32_t SerialLine::CommandWireMs(uint32_t commandLength) const {
  return static_cast<uint32_t>((static_cast<uint64_t>(commandLength) * charTimeUs_ + 999u) / 1000u);
}

int32_t SerialLine::Exchange(char* buffer, int32_t* length, const AnswerPolicy& policy) {
  if (buffer == nullptr || length == nullptr || *length < 0) return 0;
  const uint32_t commandLength = static_cast<uint32_t>(*length);
  uint32_t answerLength = 0;
  // The answer is stored from the start of the buffer, over the command.
  if (Exchange(buffer, commandLength, policy, buffer, static_cast<uint32_t>(kMaxAnswer), &answerLength) == 0) {
    *length = static_cast<int32_t>(answerLength);  // what was collected
    return 0;
  }
  // A broadcast leaves the command in place.
  if (answerLength != 0) *length = static_cast<int32_t>(answerLength);
  return 1;
}

int32_t SerialLine::WriteCommand(platform::Port* port, const char* bytes, uint32_t count, uint32_t* written,
                                 bool framed) {
  uint32_t accepted = 0;
  if (written == nullptr) written = &accepted;
  *written = 0;
  if (port == nullptr || (bytes == nullptr && count > 0)) return 0;

  // Whatever waits in the input queue belongs to an earlier command (an
  // answer that came after its time-out, bytes after an answer's end, a
  // second answer): it must not be taken as this command's answer. One call
  // clears both queues. After an exchange that ended cleanly, with its last
  // read emptying the queue, a look is enough and the discard is made only
  // when something came since: a look costs less than a discard, which
  // wakes a pseudo-terminal's other side and is a round trip to a device
  // server.
  if (!inputSettled_ || port->Wait(0) != platform::WaitResult::kTimeout) port->Discard(platform::Queue::kBoth);
  inputSettled_ = false;  // until this command's answer is read whole
  // A port that takes no direction from the driver (no RTS line, or the
  // system switches it) is written as it stands: there is nothing to drop
  // after the write, so nothing to wait for either.
  if (!framed || directionControl == DirectionControl::kNone || !port->SetDirection(platform::Direction::kTransmit)) {
    if (!port->Write(bytes, count, written)) return 0;
    commandAt_ = clock_.TickMs();
    diagnostics.Sent(bytes, count, commandAt_);
    return 1;
  }
  if (!port->Write(bytes, count, written)) {
    port->Discard(platform::Queue::kOutput);
    port->SetDirection(platform::Direction::kReceive);
    port->Discard(platform::Queue::kInput);
    return 0;
  }
  diagnostics.Sent(bytes, count, clock_.TickMs());
  // The direction must drop the moment the last character has left, or the
  // start of the module's answer collides with it.
  if (port->Drain(static_cast<uint32_t>(answerTimeoutMs))) {
    port->SetDirection(platform::Direction::kReceive);
    commandAt_ = clock_.TickMs();  // the answer's time starts once the bus is given back
    return 1;
  }
  // A transmitter that never drains must not keep the bus: give it back.
  port->Discard(platform::Queue::kOutput);
  port->SetDirection(platform::Direction::kReceive);
  return 0;
}

}  // namespace serial
