// Placeholder until the serial line is built.
#include "serial/serial_line.h"

namespace serial {
SerialLine::SerialLine(platform::SerialApi& api, platform::Clock& clock, CCOMDevice& device)
    : api_(api), clock_(clock), device_(device) {}
SerialLine::~SerialLine() {}
int32_t SerialLine::OpenPort(const velk::PortSettings*) { return 0; }
int32_t SerialLine::ClosePort() { return 1; }
int32_t SerialLine::SetPortHandle(const velk::PortHandle* handle) {
  if (handle != nullptr) portHandle = *handle;
  return 1;
}
int32_t SerialLine::OpenComm(const velk::PortSettings&) { return 0; }
void SerialLine::Reopen() {}
int32_t SerialLine::Transact(char*, int32_t*) { return 0; }
int32_t SerialLine::WriteCommand(platform::Handle, const char*, uint32_t, uint32_t*) { return 0; }
void SerialLine::OnDeviceClosedPort(platform::Handle) {}
void SerialLine::OnDeviceOpenedPort(platform::Handle) {}
}  // namespace serial
