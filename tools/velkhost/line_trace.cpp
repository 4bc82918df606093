#include "line_trace.h"

#include <stdio.h>

#include "value_format.h"

namespace velkhost {
using namespace hostlib;
namespace {

const int kRowBytes = 16;

struct TraceState {
  bool started = false;
  uint32_t lastTick = 0;
};

// The driver calls the hook on the thread of the packet, one call at a time.
void VELK_CALL OnChunk(void* context, int32_t direction, const char* bytes, int32_t length, uint32_t tickMs) {
  auto* state = static_cast<TraceState*>(context);
  const int64_t since = state->started ? static_cast<int32_t>(tickMs - state->lastTick) : 0;
  state->started = true;
  state->lastTick = tickMs;
  const std::string text = TraceLines(FileTimeClock(FileTimeNowHost()), since, direction, bytes, length);
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

}  // namespace

std::string TraceLines(const std::string& clock, int64_t sincePreviousMs, int32_t direction, const char* bytes,
                       int32_t length) {
  std::string out;
  char head[64];
  snprintf(head, sizeof head, "%s %+6lldms %s ", clock.c_str(), static_cast<long long>(sincePreviousMs),
           direction == velk::kTraceSent ? "TX" : "RX");
  const std::string indent(std::string(head).size(), ' ');
  for (int32_t row = 0; row < length || (row == 0 && length == 0); row += kRowBytes) {
    std::string hex, ascii;
    for (int32_t i = row; i < row + kRowBytes; ++i) {
      if (i < length) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        char pair[4];
        snprintf(pair, sizeof pair, "%02X ", c);
        hex += pair;
        ascii += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
      } else {
        hex += "   ";
      }
    }
    out += (row == 0 ? std::string(head) : indent) + hex + " |" + ascii + "|\n";
  }
  return out;
}

void StartLineTrace(DriverObject& driver) {
  if (driver.diag == nullptr) {
    fprintf(stderr, "velkhost: --trace: this driver library offers no diagnostics; nothing can be traced\n");
    return;
  }
  // Lives as long as the program: the driver may call it until it is gone.
  static TraceState state;
  driver.diag->SetTraceHook(&OnChunk, &state);
}

}  // namespace velkhost
