#include "serial/comm_device.h"

#include <string.h>

#include "protocol/text_to_number.h"
#include "serial/port_configuration.h"

namespace serial {
namespace {

// Read waits this long before it looks, so a caller polling in a loop asks
// the port about ten times a second.
const uint32_t kReadSettleMs = 100;
const uint32_t kWriteConstantMs = 1000;
const char kDevicePrefix[] = "//./";

// "//./" + name (unless the name already holds it) + ":" on the platform that
// wants it. `path` holds at least kPathSize bytes.
const size_t kPathSize = sizeof(kDevicePrefix) - 1 + sizeof(velk::PortSettings::portName) + 2;

void BuildDevicePath(const velk::PortSettings& settings, bool needColon, char* path) {
  // The host's name field may fill its array without a terminating NUL.
  const size_t nameLength = strnlen(settings.portName, sizeof settings.portName);
  size_t length = 0;
  bool hasPrefix = false;
  for (size_t i = 0; i + 4 <= nameLength && !hasPrefix; ++i)
    hasPrefix = memcmp(settings.portName + i, kDevicePrefix, 4) == 0;
  if (!hasPrefix) {
    memcpy(path, kDevicePrefix, 4);
    length = 4;
  }
  memcpy(path + length, settings.portName, nameLength);
  length += nameLength;
  if (needColon && memchr(path, ':', length) == nullptr) path[length++] = ':';
  path[length] = '\0';
}

}  // namespace

const RuntimeClass CCommDevice::kRuntimeClass = {"CCommDevice", 0xFFFF, nullptr};
const RuntimeClass CCOMDevice::kRuntimeClass = {"CCOMDevice", 0xFFFF, &CCommDevice::kRuntimeClass};

// --- The abstract device: every operation fails ------------------------

const RuntimeClass* CCommDevice::GetRuntimeClass() const { return &kRuntimeClass; }
int32_t CCommDevice::Configure(const velk::PortSettings*) { return 0; }
int32_t CCommDevice::Open(uintptr_t) { return 0; }
int32_t CCommDevice::Close() { return 0; }
int32_t CCommDevice::Write(uintptr_t, uint32_t, const void*, uint32_t*) { return 0; }
int32_t CCommDevice::Read(uintptr_t, uint32_t, void*, uint32_t*) { return 0; }
int32_t CCommDevice::Attach(platform::Handle) { return 0; }
platform::Handle CCommDevice::GetHandle() { return platform::kNoHandle; }
int32_t CCommDevice::Purge() { return 0; }
int32_t CCommDevice::ParseNumber(std::string, int32_t*) { return 0; }
int32_t CCommDevice::IsOpen(uintptr_t) { return 0; }

// --- The serial port device ----------------------------------------------

CCOMDevice::CCOMDevice(platform::SerialApi& api, platform::Clock&) : api_(api) {}

CCOMDevice::~CCOMDevice() { Close(); }

const RuntimeClass* CCOMDevice::GetRuntimeClass() const { return &kRuntimeClass; }

int32_t CCOMDevice::Configure(const velk::PortSettings* settings) {
  if (settings != nullptr) {
    m_settings = *settings;
    m_bSettingsGiven = 1;
  }
  return Open(0);
}

int32_t CCOMDevice::Open(uintptr_t) {
  if (m_bSettingsGiven == 0) return 0;
  Close();

  char path[kPathSize];
  BuildDevicePath(m_settings, api_.DeviceNamesNeedColon(), path);
  const platform::Handle port = OpenConfiguredPort(api_, path, m_settings);
  if (port == platform::kNoHandle) return 0;
  api_.Purge(port, platform::kPurgeTxAbort | platform::kPurgeRxAbort | platform::kPurgeTxClear |
                       platform::kPurgeRxClear);
  platform::CommTimeouts timeouts;
  // A zero rate never passes SetState on a real port; keep the division safe
  // all the same.
  const uint32_t baud = m_settings.baudRate != 0 ? m_settings.baudRate : 1;
  timeouts.writeTotalMultiplier = 115200u / baud + 3;
  timeouts.writeTotalConstant = kWriteConstantMs;
  api_.SetTimeouts(port, timeouts);

  m_hPort = port;
  m_nTimeout = m_settings.timeoutMs;
  if (observer_ != nullptr) observer_->OnDeviceOpenedPort(port);
  return 1;
}

int32_t CCOMDevice::Close() {
  if (m_hPort == platform::kNoHandle) return 1;
  const platform::Handle port = m_hPort;
  m_hPort = platform::kNoHandle;
  const bool closed = api_.Close(port);
  if (observer_ != nullptr) observer_->OnDeviceClosedPort(port);
  return closed ? 1 : 0;
}

int32_t CCOMDevice::Write(uintptr_t, uint32_t count, const void* bytes, uint32_t* written) {
  if (bytes == nullptr || written == nullptr || IsOpen(0) == 0) return 0;
  return api_.Write(m_hPort, bytes, count, written) ? 1 : 0;
}

int32_t CCOMDevice::Read(uintptr_t, uint32_t maxCount, void* bytes, uint32_t* read) {
  if (bytes == nullptr || read == nullptr || IsOpen(0) == 0) return 0;
  // Callers poll in a loop; the pause lets an answer build up between looks.
  // It ends early when input arrives, and a port that hung up fails the
  // read at once instead of reading as empty for ever.
  const platform::WaitResult woke = api_.WaitForInput(m_hPort, kReadSettleMs);
  if (woke == platform::WaitResult::kHangUp) {
    *read = 0;
    return 0;
  }
  if (woke == platform::WaitResult::kTimeout) {
    *read = 0;
    return 1;
  }
  platform::CommStatus status;
  if (!api_.Status(m_hPort, &status)) {
    *read = 0;
    return 0;
  }
  if (status.inQueue >= kInputQueueBytes) {
    // A full queue has lost bytes: nothing in it can be trusted.
    Purge();
    *read = 0;
    return 1;
  }
  if (status.inQueue == 0) {
    *read = 0;
    return 1;
  }
  const uint32_t want = status.inQueue < maxCount ? status.inQueue : maxCount;
  return api_.Read(m_hPort, bytes, want, read) ? 1 : 0;
}

int32_t CCOMDevice::Attach(platform::Handle handle) {
  // Adopting the port already held must not close it first.
  if (handle == m_hPort) return 1;
  Close();
  m_hPort = handle;
  return 1;
}

platform::Handle CCOMDevice::GetHandle() { return m_hPort; }

int32_t CCOMDevice::Purge() {
  if (m_hPort == platform::kNoHandle) return 0;
  return api_.Purge(m_hPort, platform::kPurgeTxClear | platform::kPurgeRxClear) ? 1 : 0;
}

int32_t CCOMDevice::ParseNumber(std::string text, int32_t* number) {
  // An embedded NUL would end the check early and accept the text before it.
  if (number == nullptr || text.find('\0') != std::string::npos) return 0;
  int32_t value = 0;
  if (!protocol::TextToNumber(text.c_str(), &value, text.size())) return 0;
  *number = value;
  return 1;
}

int32_t CCOMDevice::IsOpen(uintptr_t) { return m_hPort != platform::kNoHandle ? 1 : 0; }

}  // namespace serial
