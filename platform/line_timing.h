// Wire time of the line's characters, and the wait for a transmitter to
// drain that sleeps through it instead of asking the port over and over.
#ifndef VELK_PLATFORM_LINE_TIMING_H
#define VELK_PLATFORM_LINE_TIMING_H

#include <stdint.h>

#include "platform/clock.h"
#include "platform/serial_api.h"

namespace platform {

// Wire time of one character at `settings`, in microseconds (start bit,
// data bits, parity bit, stop bits); at most a second.
inline uint32_t CharTimeUs(const LineSettings& settings) {
  if (settings.baudRate == 0) return 1000000u;
  const uint32_t dataBits = settings.dataBits >= 5 && settings.dataBits <= 8 ? settings.dataBits : 8;
  const uint32_t bits = 1 + dataBits + (settings.parity != 0 ? 1 : 0) + (settings.stopBits == 2 ? 2 : 1);
  const uint64_t us = (static_cast<uint64_t>(bits) * 1000000u + settings.baudRate - 1) / settings.baudRate;
  return us > 1000000u ? 1000000u : static_cast<uint32_t>(us);
}

// Waits until `queued(&bytes)` reports no byte left to send, at most
// `maxMs`: it sleeps for the wire time still queued, so that the direction
// can drop the moment the last character has left. False when `queued`
// fails or the deadline passes first.
template <typename Queued>
bool DrainQueue(Clock& clock, uint32_t charTimeUs, uint32_t maxMs, Queued queued) {
  const uint32_t deadline = clock.TickMs() + maxMs;
  for (;;) {
    uint32_t bytes = 0;
    if (!queued(&bytes)) return false;
    if (bytes == 0) return true;
    const uint32_t now = clock.TickMs();
    if (TickAfter(now, deadline)) return false;
    const uint64_t wireUs = static_cast<uint64_t>(bytes) * charTimeUs;
    const uint64_t leftUs = static_cast<uint64_t>(TickRemaining(now, deadline)) * 1000u + 1000u;
    clock.SleepUs(static_cast<uint32_t>(wireUs < leftUs ? wireUs : leftUs));
  }
}

}  // namespace platform

#endif
