// The line's port: opening and configuring it from the host's settings,
// adopting a port the host opened, re-opening for the probe, and closing.
#include <string.h>

#include "serial/port_configuration.h"
#include "serial/serial_line.h"

namespace serial {
namespace {

const char kDevicePrefix[] = "\\\\.\\";
const uint32_t kWriteMultiplierMs = 100;

}  // namespace

SerialLine::SerialLine(platform::SerialApi& api, platform::Clock& clock, CCOMDevice& device)
    : api_(api), clock_(clock), device_(device) {
  device_.SetObserver(this);
}

SerialLine::~SerialLine() {
  ReleasePort();
  device_.SetObserver(nullptr);
}

int32_t SerialLine::OpenPort(const velk::PortSettings* settings) {
  if (settings == nullptr) return 0;
  // Kept whether or not the opening succeeds: the probe retries from them.
  portSettings = *settings;
  device_.m_settings = *settings;
  device_.m_bSettingsGiven = 1;
  portSettingsGiven = 1;
  return OpenComm(*settings);
}

int32_t SerialLine::ClosePort() {
  ReleasePort();
  return 1;
}

int32_t SerialLine::SetPortHandle(const velk::PortHandle* handle) {
  if (handle == nullptr || *handle == portHandle) return 1;
  const platform::Handle previous = portHandle;
  portHandle = *handle;
  // The port held until now stays open while the device still works on it
  // (it is the device's from now on); held by nobody, it would be lost.
  if (previous != platform::kNoHandle && previous != device_.m_hPort) api_.Close(previous);
  return 1;
}

int32_t SerialLine::OpenComm(const velk::PortSettings& settings) {
  rtsControl = 2;
  // Taken before the opening can fail: the next transaction waits this long.
  answerTimeoutMs = settings.timeoutMs;

  char path[sizeof kDevicePrefix + sizeof settings.portName];
  const size_t nameLength = strnlen(settings.portName, sizeof settings.portName);
  memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
  memcpy(path + sizeof kDevicePrefix - 1, settings.portName, nameLength);
  path[sizeof kDevicePrefix - 1 + nameLength] = '\0';

  const platform::Handle port = OpenConfiguredPort(api_, path, settings);
  if (port == platform::kNoHandle) return 0;
  api_.SetEventMask(port, platform::kEventRxFlag | platform::kEventBreak);
  // The RS-485 line driver starts out listening.
  if (rtsControl != 0) api_.SetRts(port, false);
  api_.Purge(port, platform::kPurgeTxAbort | platform::kPurgeRxAbort | platform::kPurgeTxClear |
                       platform::kPurgeRxClear);
  platform::CommTimeouts timeouts;
  timeouts.writeTotalMultiplier = kWriteMultiplierMs;
  timeouts.writeTotalConstant = 0;
  api_.SetTimeouts(port, timeouts);

  TakePort(port);
  return 1;
}

void SerialLine::Reopen() {
  if (portSettingsGiven != 1) return;
  ReleasePort();
  OpenComm(portSettings);
}

void SerialLine::ReleasePort() {
  const platform::Handle held = portHandle;
  portHandle = platform::kNoHandle;
  if (device_.m_hPort == held) device_.m_hPort = platform::kNoHandle;
  if (held != platform::kNoHandle) api_.Close(held);
  // A different port in the device is its own; leaving it open would keep
  // the line held after the host closed it.
  if (device_.m_hPort != platform::kNoHandle) device_.Close();
}

void SerialLine::TakePort(platform::Handle port) {
  // Reached only with a port that differs from every handle held, so the
  // ports given up here are the old ones (another name opened without
  // ClosePort first).
  ReleasePort();
  portHandle = port;
  device_.m_hPort = port;
}

void SerialLine::OnDeviceClosedPort(platform::Handle closed) {
  if (closed == portHandle) portHandle = platform::kNoHandle;
}

void SerialLine::OnDeviceOpenedPort(platform::Handle opened) {
  if (portHandle == platform::kNoHandle) portHandle = opened;
}

}  // namespace serial
