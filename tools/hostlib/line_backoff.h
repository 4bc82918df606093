// The back-off of one line: a module that stops answering is asked less and
// less often instead of costing every other module a time-out per packet,
// and is served again at its first answer. velkhost poll and velkd share it.
//
// Two things are held back, on the same schedule:
//  - a device whose packets end `offlineAfter` times in a row without any
//    answer ("offline"): its packets are not sent, except one per back-off
//    period, the period doubling from 1 s to `retryMaxMs`;
//  - a packet that a module keeps busy for the whole time-out (a Data7810
//    temperature read answering "N"): the module is alive and its other
//    registers keep their rate, but this packet costs the line a full
//    time-out each time, so it is tried at the back-off pace ("busy").
// A module that answers at all (good, "?", a spoilt answer) is not offline:
// its answer comes within the wire time and says something the integrator
// needs to see at the normal rate. A failure of the port or of the command's
// building says nothing about the module and changes nothing here.
//
// Not locked: one line's thread owns it.
#ifndef VELK_HOSTLIB_LINE_BACKOFF_H
#define VELK_HOSTLIB_LINE_BACKOFF_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "line_config.h"
#include "packet_exchange.h"
#include "platform/clock.h"

namespace hostlib {

// What one packet's outcome says about the module it asked.
enum class ModuleAnswer {
  kAnswered,  // something came back: the module is there
  kSilent,    // nothing came back within the time-out
  kBusy,      // it said "busy" until the time-out
  kUnknown,   // nothing was asked (no port, the command not built)
};
ModuleAnswer ModuleAnswerOf(const PacketOutcome& outcome);

// A change Record reports, for a log line per change of state.
enum class BackoffChange { kNone, kDeviceOffline, kDeviceBack, kPacketBusy, kPacketFree };

class LineBackoff {
 public:
  // Record's `packet` for an exchange that is not one of the plan's packets
  // (a write): it tells about the device only.
  static constexpr size_t kNoPacket = static_cast<size_t>(-1);

  // `devices`: the line file's devices; `packets`: the packets of the plan
  // (the indexes MaySend and Record are given).
  LineBackoff(size_t devices, size_t packets, const BackoffSettings& settings,
              platform::Clock& clock = platform::SystemClock());

  // Whether packet `packet` of device `device` goes on the line now. When it
  // does not, `reason` (if given) says why: "offline, next try in 4 s" or
  // "busy, next try in 2 s". A held-back device whose try is due gets this
  // one packet; its next try is a period later unless it answers.
  bool MaySend(size_t device, size_t packet, std::string* reason = nullptr);

  // What the packet that was sent brought.
  BackoffChange Record(size_t device, size_t packet, const PacketOutcome& outcome);

  bool Offline(size_t device) const;
  // Milliseconds until the earliest try of anything held back; 0 when
  // nothing is held back or a try is due. A loop that found nothing to send
  // sleeps this long rather than spin.
  uint32_t NextTryInMs() const;

 private:
  struct Schedule {
    uint32_t misses = 0;  // failures of its kind in a row
    bool held = false;
    uint32_t periodMs = 0;
    uint32_t nextTry = 0;  // tick
  };
  // Milliseconds until the try of `s`; 0 when due or not held back.
  static uint32_t LeftMs(const Schedule& s, uint32_t now);
  // One more failure of its kind; true when it holds `s` back from now on.
  bool Miss(Schedule& s, uint32_t now) const;
  static std::string Waiting(const char* what, const Schedule& s, uint32_t now);

  BackoffSettings settings_;
  platform::Clock& clock_;
  std::vector<Schedule> devices_;
  std::vector<Schedule> packets_;
};

}  // namespace hostlib

#endif
