// Answers that come after their time-out: the guard that waits for them
// after a failed exchange, what the line learns from them about each
// module, and the modules held back because their answers come too late to
// be paired with their commands at all. See SerialLine::ModuleTiming.
#include "serial/serial_line.h"

namespace serial {
namespace {

// A late answer's guard covers it with this share of the time-out to spare,
// for the module's own jitter.
const uint32_t kLateMarginShare = 4;
// The longest wait between two checks of a module too late to pair.
const uint32_t kLongestRecheckMs = 60000;

uint16_t Clamped(uint32_t ms, uint16_t most) { return ms < most ? static_cast<uint16_t>(ms) : most; }

}  // namespace

bool SerialLine::HeldBackAsTooLate(int32_t module, uint32_t now) const {
  if (module < 0 || modules_[module].tooLateMs == 0) return false;
  const ModuleTiming& timing = modules_[module];
  return platform::TickRemaining(now, timing.commandAt + timing.recheckMs) != 0;
}

void SerialLine::NoteTooLateCheck(int32_t module) {
  uint32_t& wait = modules_[module].recheckMs;
  wait = wait < kLongestRecheckMs / 2 ? wait * 2 : kLongestRecheckMs;
}

void SerialLine::WaitOutTooLateAnswers(platform::Port* port, uint32_t timeoutMs, uint32_t since) {
  if (outOfStep_ && failedModule_ >= 0 && modules_[failedModule_].tooLateMs != 0) AwaitQuiet(port, timeoutMs, since);
}

void SerialLine::NoteLateness(int32_t module, uint32_t lateMs) {
  diagnostics.LateAnswer(module, lateMs);
  ModuleTiming& timing = modules_[module];
  if (lateMs > WholeAnswerBoundMs()) {
    // No guard within one call's bound can wait for such an answer.
    const uint16_t ms = Clamped(lateMs, kLongestRecheckMs / 2);
    if (ms > timing.tooLateMs) timing.tooLateMs = ms;
    if (timing.recheckMs == 0) timing.recheckMs = 2u * timing.tooLateMs;
    return;
  }
  const uint16_t ms = Clamped(lateMs, kNotLate - 1);
  if (timing.lateness == kLatenessUnknown || timing.lateness == kNotLate || ms > timing.lateness) timing.lateness = ms;
}

void SerialLine::NoteLateBytes(uint32_t at, uint32_t timeoutMs) {
  if (lateSeen_) return;  // the answer's first bytes tell when it came
  lateSeen_ = true;
  if (failedModule_ < 0) return;
  // Found waiting after a host's pause: when it came is not known.
  if (at - failedAt_ > WholeAnswerBoundMs()) return;
  ModuleTiming& timing = modules_[failedModule_];
  // A module that left an earlier command unanswered may be answering that
  // one: measured from it, the lateness is never shorter than the true one.
  const uint32_t late = at - (timing.unpaired ? timing.unansweredAt : failedAt_);
  timing.unansweredAt = failedAt_;  // the latest command still to be answered
  if (late <= timeoutMs) {          // a slow end of an answer begun in time
    if (timing.lateness == kLatenessUnknown) timing.lateness = kNotLate;
    return;
  }
  NoteLateness(failedModule_, late);
}

void SerialLine::NoteQuietGuard() {
  if (failedModule_ < 0) return;
  ModuleTiming& timing = modules_[failedModule_];
  // Nothing within the guard: the module is silent, or answers later than
  // the guard waited. Not waited for so long again; but its next answer
  // may be this command's, so it must be paired first.
  if (timing.lateness == kLatenessUnknown) timing.lateness = kNotLate;
  timing.unpaired = true;
  timing.unansweredAt = failedAt_;
}

uint32_t SerialLine::LateGuardEnd(uint32_t timeoutMs) const {
  if (failedModule_ < 0) return outOfStepAt_;
  const ModuleTiming& timing = modules_[failedModule_];
  // The answers of a module too late to pair are waited out across calls.
  if (timing.tooLateMs != 0) return failedAt_ + timing.tooLateMs + timeoutMs / kLateMarginShare;
  if (timing.lateness == kNotLate) return outOfStepAt_;
  if (timing.lateness == kLatenessUnknown) return failedAt_ + WholeAnswerBoundMs();
  return failedAt_ + timing.lateness + timeoutMs / kLateMarginShare;
}

bool SerialLine::AwaitQuiet(platform::Port* port, uint32_t timeoutMs, uint32_t callStart) {
  outOfStep_ = false;
  if (timeoutMs == 0) return true;
  // Bounded, so that a line that never falls quiet cannot hold the host's
  // thread: the guard and the exchange after it end within the whole-answer
  // bound, so the guard takes at most that bound less the exchange's own
  // time-out. The command then goes out anyway, behind its purge, unless
  // answers too late to pair are still due.
  const uint32_t start = clock_.TickMs();
  const uint32_t whole = WholeAnswerBoundMs();
  const uint32_t bound = callStart + (whole > timeoutMs ? whole - timeoutMs : 0);
  // Nothing is read or purged between exchanges, so a line with no input
  // waiting has been quiet since the failure: a host that paused between
  // packets has already waited part of the guard, or all of it.
  uint32_t quietUntil = start + timeoutMs;
  const bool inputWaits = port->Wait(0) != platform::WaitResult::kTimeout;
  if (platform::TickRemaining(start, outOfStepAt_ + timeoutMs) < timeoutMs && !inputWaits)
    quietUntil = outOfStepAt_ + timeoutMs;
  // A module known to answer late is waited for until its answer has come,
  // and one not known yet as long as the bound allows.
  uint32_t lateEnd = LateGuardEnd(timeoutMs);
  if (platform::TickAfter(lateEnd, quietUntil)) quietUntil = lateEnd;
  char chunk[kMaxChunk];
  for (;;) {
    const uint32_t now = clock_.TickMs();
    const uint32_t left = platform::TickRemaining(now, platform::TickAfter(quietUntil, bound) ? bound : quietUntil);
    if (left == 0) {
      if (platform::TickAfter(quietUntil, now) && failedModule_ >= 0 && modules_[failedModule_].tooLateMs != 0) {
        outOfStep_ = true;  // the next exchange waits on
        return false;
      }
      if (!lateSeen_) NoteQuietGuard();
      lateSeen_ = true;
      return true;
    }
    const platform::WaitResult woke = port->Wait(left);
    if (woke == platform::WaitResult::kTimeout) continue;
    if (woke == platform::WaitResult::kHangUp) {
      NotePortLost();
      return true;
    }
    uint32_t got = 0;
    if (!port->Read(chunk, kMaxChunk, &got)) {
      NotePortLost();
      return true;
    }
    const uint32_t at = clock_.TickMs();
    if (got == 0) continue;
    diagnostics.Received(chunk, got, at);
    NoteLateBytes(at, timeoutMs);
    quietUntil = at + timeoutMs;
    lateEnd = LateGuardEnd(timeoutMs);
    if (platform::TickAfter(lateEnd, quietUntil)) quietUntil = lateEnd;
  }
}

}  // namespace serial
