// The line's port: opening and configuring it from the host's settings,
// adopting a port the host opened, re-opening for the probe, and closing.
#include <string.h>

#include <utility>

#include "serial/port_configuration.h"
#include "serial/serial_line.h"

namespace serial {
namespace {

const char kDevicePrefix[] = "\\\\.\\";
const uint32_t kWriteMultiplierMs = 100;

int32_t PortOpenErrorOf(platform::OpenError error) {
  switch (error) {
    case platform::OpenError::kNone: return velk::kPortOpenOk;
    case platform::OpenError::kMissing: return velk::kPortOpenMissing;
    case platform::OpenError::kBusy: return velk::kPortOpenBusy;
    case platform::OpenError::kPermission: return velk::kPortOpenPermission;
    case platform::OpenError::kNotSerial: return velk::kPortOpenNotSerial;
    default: return velk::kPortOpenOther;
  }
}

}  // namespace

SerialLine::SerialLine(platform::SerialApi& api, platform::Clock& clock) : api_(api), clock_(clock) {}

SerialLine::~SerialLine() { ReleasePort(); }

int32_t SerialLine::OpenPort(const velk::PortSettings* settings) {
  if (settings == nullptr) return 0;
  // Kept whether or not the opening succeeds: the probe retries from them.
  portSettings = *settings;
  portSettingsGiven = 1;
  outOfStep_ = false;  // the host starts the line over
  // The port held until now goes first: a failed opening must not leave the
  // line talking to the old port, and the same port opened again with new
  // settings is no longer held by ourselves.
  ReleasePort();
  return OpenComm(*settings);
}

int32_t SerialLine::ClosePort() {
  ReleasePort();
  return 1;
}

int32_t SerialLine::SetPortHandle(const velk::PortHandle* handle) {
  if (handle == nullptr) return 1;
  // The port held already (a network line has no handle to hand over).
  const bool held = port_ != nullptr ? *handle != platform::kNoHandle && port_->handle() == *handle
                                     : *handle == platform::kNoHandle;
  if (held) return 1;
  // The port held until now is held by nobody else: closed, not lost. It
  // goes before the new one is taken, which may be its very handle value
  // after the host re-opened it.
  ReleasePort();
  port_ = api_.Adopt(*handle);
  adopted_ = port_ != nullptr;
  outOfStep_ = false;
  portLost_ = false;
  platform::CommState state;
  if (adopted_ && port_->GetState(&state)) SetCharTime(state.baudRate, state.byteSize, state.parity, state.stopBits);
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

  std::unique_ptr<platform::Port> port = OpenConfiguredPort(api_, path, settings);
  if (port == nullptr) {
    // The opening itself worked when the system has no error to tell: the
    // port then refused the settings.
    const platform::OpenError error = api_.LastOpenError();
    diagnostics.lastPortError =
        error == platform::OpenError::kNone ? velk::kPortOpenSettingsRefused : PortOpenErrorOf(error);
    return 0;
  }
  diagnostics.lastPortError = velk::kPortOpenOk;
  SetCharTime(settings.baudRate, settings.dataBits, settings.parity, settings.stopBits == 2 ? 2 : 0);
  port->SetEventMask(platform::kEventRxFlag | platform::kEventBreak);
  // The RS-485 line driver starts out listening.
  if (rtsControl != 0) port->SetRts(false);
  port->Purge(platform::kPurgeTxAbort | platform::kPurgeRxAbort | platform::kPurgeTxClear | platform::kPurgeRxClear);
  platform::CommTimeouts timeouts;
  timeouts.writeTotalMultiplier = kWriteMultiplierMs;
  timeouts.writeTotalConstant = 0;
  port->SetTimeouts(timeouts);

  ReleasePort();
  port_ = std::move(port);
  adopted_ = false;
  portLost_ = false;
  return 1;
}

platform::Port* SerialLine::PortForExchange() {
  if (portLost_ && reopenArmed_ && !adopted_ && portSettingsGiven == 1) {
    reopenArmed_ = false;
    Reopen();
  }
  if (port_ == nullptr) diagnostics.Fail(portLost_ ? velk::kOutcomePortLost : velk::kOutcomeNoPort);
  return port_.get();
}

void SerialLine::FailOnPort(platform::Port* port, int32_t otherwise) {
  // A look without waiting tells a hung-up device from a slow or refusing one.
  if (port != nullptr && port->WaitForInput(0) == platform::WaitResult::kHangUp) {
    NotePortLost();
    diagnostics.Fail(velk::kOutcomePortLost);
    return;
  }
  diagnostics.Fail(otherwise);
}

void SerialLine::SetCharTime(uint32_t baud, uint32_t dataBits, uint32_t parity, uint32_t stopBits) {
  if (baud == 0) return;
  const uint32_t bits = 1 + (dataBits >= 5 && dataBits <= 8 ? dataBits : 8) + (parity != 0 ? 1 : 0) +
                        (stopBits == 2 ? 2 : 1);
  const uint64_t us = (static_cast<uint64_t>(bits) * 1000000u + baud - 1) / baud;
  charTimeUs_ = us > 1000000u ? 1000000u : static_cast<uint32_t>(us);
}

uint32_t SerialLine::WholeAnswerBoundMs() const {
  const uint64_t timeout = answerTimeoutMs > 0 ? static_cast<uint64_t>(answerTimeoutMs) : 0;
  const uint64_t wire = (static_cast<uint64_t>(kMaxAnswer) * charTimeUs_ + 999u) / 1000u;
  const uint64_t bound = 2 * timeout + wire;
  // Kept below 2^31 so that deadlines compare wrap-safe.
  return bound > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(bound);
}

void SerialLine::Reopen() {
  if (portSettingsGiven != 1) return;
  // Counts as the packet's re-opening (the probe asks for one itself).
  reopenArmed_ = false;
  ReleasePort();
  OpenComm(portSettings);
}

void SerialLine::ReleasePort() { port_.reset(); }

}  // namespace serial
