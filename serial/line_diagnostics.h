// What a line knows about its own health: why the last exchange or packet
// failed, running counters and the optional trace hook. Kept by the line,
// written on the packet path without allocating or formatting, read by the
// driver's diagnostics interface.
#ifndef VELK_SERIAL_LINE_DIAGNOSTICS_H
#define VELK_SERIAL_LINE_DIAGNOSTICS_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace serial {

struct LineDiagnostics {
  // The outcome of the exchange or packet now under way; the packet path
  // sets it where it fails and the driver counts it once per packet.
  int32_t outcome = velk::kOutcomeOk;
  int32_t lastPortError = velk::kPortOpenOk;
  velk::LineCounters counters = Fresh();
  velk::TraceHook hook = nullptr;
  void* hookContext = nullptr;

  // Records why the work under way failed; the first cause set wins, so a
  // later, more general failure does not hide it.
  void Fail(int32_t why) {
    if (outcome == velk::kOutcomeOk) outcome = why;
  }
  // Starts a packet: forgets the last one's outcome.
  void BeginPacket() { outcome = velk::kOutcomeOk; }
  // Ends a packet with its result; counts it under its outcome. A failed
  // packet with no cause recorded counts as unanswered.
  void EndPacket(int32_t result) {
    if (result == 0 && outcome == velk::kOutcomeOk) outcome = velk::kOutcomeNoAnswer;
    if (result != 0) outcome = velk::kOutcomeOk;
    ++counters.packets;
    if (uint32_t* count = PacketsWith(outcome)) ++*count;
  }
  // The counter of `outcome` in the record; null for no outcome.
  uint32_t* PacketsWith(int32_t outcome) {
    if (outcome >= 0 && outcome < velk::kOutcomesFirstCounted) return &counters.outcomes[outcome];
    if (outcome >= velk::kOutcomesFirstCounted && outcome < velk::kOutcomeCount)
      return &counters.laterOutcomes[outcome - velk::kOutcomesFirstCounted];
    return nullptr;
  }

  void Sent(const char* bytes, uint32_t count, uint32_t tickMs) {
    ++counters.exchanges;
    counters.bytesSent += count;
    if (hook != nullptr && count > 0) hook(hookContext, velk::kTraceSent, bytes, static_cast<int32_t>(count), tickMs);
  }
  void Received(const char* bytes, uint32_t count, uint32_t tickMs) {
    counters.bytesReceived += count;
    if (hook != nullptr && count > 0)
      hook(hookContext, velk::kTraceReceived, bytes, static_cast<int32_t>(count), tickMs);
  }

  // An answer came `lateMs` after its command, past the time-out: kept when
  // it is the latest seen, so that the host can say how far to raise it.
  void LateAnswer(int32_t module, uint32_t lateMs) {
    if (lateMs < counters.lateAnswerMs) return;
    counters.lateModule = module;
    counters.lateAnswerMs = lateMs;
  }

  void ResetCounters() { counters = Fresh(); }

  static velk::LineCounters Fresh() {
    velk::LineCounters c{};
    c.size = sizeof c;
    c.lateModule = -1;
    return c;
  }
};

}  // namespace serial

#endif
