#include "serial/port_configuration.h"

namespace serial {
namespace {
const uint8_t kOneStopBit = 0;
const uint8_t kTwoStopBits = 2;
}  // namespace

std::unique_ptr<platform::Port> OpenConfiguredPort(platform::SerialApi& api, const char* path,
                                                   const velk::PortSettings& settings) {
  std::unique_ptr<platform::Port> port = api.Open(path);
  if (port == nullptr) return nullptr;

  port->SetupQueues(kInputQueueBytes, kOutputQueueBytes);
  platform::CommState state;
  port->GetState(&state);
  // The whole 32-bit rate: cut to 16 bits, a 115200-baud line would open at
  // 49664 baud without a word. Rates up to 65535 are unaffected.
  state.baudRate = settings.baudRate;
  state.byteSize = settings.dataBits;
  state.parity = settings.parity;
  state.stopBits = settings.stopBits == 2 ? kTwoStopBits : kOneStopBit;
  if (!port->SetState(state)) return nullptr;
  return port;
}

}  // namespace serial
