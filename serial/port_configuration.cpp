#include "serial/port_configuration.h"

namespace serial {
namespace {
const uint8_t kOneStopBit = 0;
const uint8_t kTwoStopBits = 2;
}  // namespace

platform::Handle OpenConfiguredPort(platform::SerialApi& api, const char* path, const velk::PortSettings& settings) {
  const platform::Handle port = api.Open(path);
  if (port == platform::kNoHandle) return platform::kNoHandle;

  api.SetupQueues(port, kInputQueueBytes, kOutputQueueBytes);
  platform::CommState state;
  api.GetState(port, &state);
  // The whole 32-bit rate: cut to 16 bits, a 115200-baud line would open at
  // 49664 baud without a word. Rates up to 65535 are unaffected.
  state.baudRate = settings.baudRate;
  state.byteSize = settings.dataBits;
  state.parity = settings.parity;
  state.stopBits = settings.stopBits == 2 ? kTwoStopBits : kOneStopBit;
  if (!api.SetState(port, state)) {
    api.Close(port);
    return platform::kNoHandle;
  }
  return port;
}

}  // namespace serial
