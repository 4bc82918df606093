#include "line_backoff.h"

#include <algorithm>

namespace hostlib {
namespace {

// The first wait of a device just held back: long enough that a dead module
// costs the line little, short enough that a module that merely missed a few
// commands is back within a second.
const uint32_t kFirstRetryMs = 1000;

// Indexed by PacketOutcome.
const ModuleAnswer kAnswerOfOutcome[] = {
    ModuleAnswer::kAnswered,  // ok
    ModuleAnswer::kAnswered,  // refused
    ModuleAnswer::kAnswered,  // checksum mismatch
    ModuleAnswer::kSilent,    // no answer
    ModuleAnswer::kAnswered,  // no carriage return: bytes came
    ModuleAnswer::kAnswered,  // answer too long
    ModuleAnswer::kUnknown,   // not built: nothing was sent
    ModuleAnswer::kUnknown,   // no port
    ModuleAnswer::kUnknown,   // port lost
    ModuleAnswer::kBusy,      // busy bound
    ModuleAnswer::kAnswered,  // bad answer
    ModuleAnswer::kUnknown,   // bus collision: the command itself was spoilt
};
static_assert(sizeof kAnswerOfOutcome / sizeof kAnswerOfOutcome[0] == velk::kOutcomeCount, "one entry per outcome");

}  // namespace

ModuleAnswer ModuleAnswerOf(const PacketOutcome& outcome) {
  if (!outcome.ran) return ModuleAnswer::kUnknown;
  if (outcome.result == 1) return ModuleAnswer::kAnswered;
  // A library without diagnostics gives no reason: most failures at run
  // time are time-outs, and the costly case is the one to contain.
  if (outcome.reason < 0 || outcome.reason >= velk::kOutcomeCount || outcome.reason == velk::kOutcomeOk)
    return ModuleAnswer::kSilent;
  return kAnswerOfOutcome[outcome.reason];
}

LineBackoff::LineBackoff(size_t devices, size_t packets, const BackoffSettings& settings, platform::Clock& clock)
    : settings_(settings), clock_(clock), devices_(devices), packets_(packets) {
  settings_.retryMaxMs = std::max<uint32_t>(settings_.retryMaxMs, 1);
}

uint32_t LineBackoff::LeftMs(const Schedule& s, uint32_t now) {
  if (!s.held) return 0;
  const uint32_t left = platform::TickRemaining(now, s.nextTry);
  // A try is never more than a period away; more means the tick passed the
  // try so long ago (2^31 ms) that it reads as ahead again.
  return left > s.periodMs ? 0 : left;
}

bool LineBackoff::Miss(Schedule& s, uint32_t now) const {
  ++s.misses;
  if (s.held) {
    s.periodMs = std::min(s.periodMs * 2, settings_.retryMaxMs);
    s.nextTry = now + s.periodMs;
    return false;
  }
  if (s.misses < settings_.offlineAfter) return false;
  s.held = true;
  s.periodMs = std::min(kFirstRetryMs, settings_.retryMaxMs);
  s.nextTry = now + s.periodMs;
  return true;
}

std::string LineBackoff::Waiting(const char* what, const Schedule& s, uint32_t now) {
  const uint32_t seconds = (LeftMs(s, now) + 999) / 1000;
  return std::string(what) + ", next try in " + std::to_string(seconds) + " s";
}

bool LineBackoff::MaySend(size_t device, size_t packet, std::string* reason) {
  if (settings_.offlineAfter == 0 || device >= devices_.size()) return true;
  const uint32_t now = clock_.TickMs();
  Schedule& d = devices_[device];
  if (LeftMs(d, now) > 0) {
    if (reason != nullptr) *reason = Waiting("offline", d, now);
    return false;
  }
  if (packet < packets_.size() && LeftMs(packets_[packet], now) > 0) {
    if (reason != nullptr) *reason = Waiting("busy", packets_[packet], now);
    return false;
  }
  // This packet is the try: the next one waits a period, whatever becomes of
  // this one, so that an offline device costs one time-out per period.
  if (d.held) d.nextTry = now + d.periodMs;
  if (packet < packets_.size() && packets_[packet].held) packets_[packet].nextTry = now + packets_[packet].periodMs;
  return true;
}

BackoffChange LineBackoff::Record(size_t device, size_t packet, const PacketOutcome& outcome) {
  if (settings_.offlineAfter == 0 || device >= devices_.size()) return BackoffChange::kNone;
  const uint32_t now = clock_.TickMs();
  Schedule& d = devices_[device];
  Schedule* p = packet < packets_.size() ? &packets_[packet] : nullptr;
  switch (ModuleAnswerOf(outcome)) {
    case ModuleAnswer::kSilent: return Miss(d, now) ? BackoffChange::kDeviceOffline : BackoffChange::kNone;
    case ModuleAnswer::kBusy: {
      // Busy is an answer: the device is there, this one packet is not.
      const bool back = d.held;
      d = Schedule();
      const bool busy = p != nullptr && Miss(*p, now);
      return back ? BackoffChange::kDeviceBack : busy ? BackoffChange::kPacketBusy : BackoffChange::kNone;
    }
    case ModuleAnswer::kAnswered: {
      const bool back = d.held;
      const bool free = p != nullptr && p->held;
      d = Schedule();
      if (p != nullptr) *p = Schedule();
      return back ? BackoffChange::kDeviceBack : free ? BackoffChange::kPacketFree : BackoffChange::kNone;
    }
    default: return BackoffChange::kNone;
  }
}

bool LineBackoff::Offline(size_t device) const { return device < devices_.size() && devices_[device].held; }

uint32_t LineBackoff::NextTryInMs() const {
  const uint32_t now = clock_.TickMs();
  bool any = false;
  uint32_t soonest = 0;
  for (const std::vector<Schedule>* list : {&devices_, &packets_}) {
    for (const Schedule& s : *list) {
      if (!s.held) continue;
      const uint32_t left = LeftMs(s, now);
      soonest = any ? std::min(soonest, left) : left;
      any = true;
    }
  }
  return soonest;
}

}  // namespace hostlib
