// The line's port: opening and configuring it from the host's settings,
// adopting a port the host opened, re-opening for the probe, and closing.
#include <string.h>

#include <utility>

#include "platform/line_timing.h"
#include "serial/serial_line.h"

namespace serial {
namespace {

// A write may take this long per byte before it counts as failed.
const uint32_t kWriteMsPerByte = 100;

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

// The framing of the host's settings: a stop-bit value of 2 means two,
// anything else one.
platform::LineSettings LineSettingsOf(const velk::PortSettings& settings) {
  platform::LineSettings line;
  // The whole 32-bit rate: cut to 16 bits, a 115200-baud line would open at
  // 49664 baud without a word. Rates up to 65535 are unaffected.
  line.baudRate = settings.baudRate;
  line.dataBits = settings.dataBits;
  line.parity = settings.parity;
  line.stopBits = settings.stopBits == 2 ? 2 : 1;
  return line;
}

}  // namespace

SerialLine::SerialLine(platform::SerialApi& api, platform::Clock& clock) : api_(api), clock_(clock) {}

SerialLine::~SerialLine() { ReleasePort(); }

int32_t SerialLine::OpenPort(const velk::PortSettings* settings) {
  if (settings == nullptr) return 0;
  // Kept whether or not the opening succeeds: the probe retries from them.
  portSettings = *settings;
  portSettingsGiven = true;
  outOfStep_ = false;  // the host starts the line over
  // What the line learnt of its modules' lateness holds for the old
  // time-out, perhaps for another bus.
  for (ModuleTiming& timing : modules_) timing = ModuleTiming();
  failedModule_ = -1;
  lateSeen_ = true;
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
  const bool held =
      port_ != nullptr ? *handle != platform::kNoHandle && port_->handle() == *handle : *handle == platform::kNoHandle;
  if (held) return 1;
  // The port held until now is held by nobody else: closed, not lost. It
  // goes before the new one is taken, which may be its very handle value
  // after the host re-opened it.
  ReleasePort();
  port_ = api_.Adopt(*handle);
  adopted_ = port_ != nullptr;
  outOfStep_ = false;
  portLost_ = false;
  inputSettled_ = false;  // whatever the host left in it is not ours to take
  platform::LineSettings line;
  if (adopted_ && port_->Settings(&line)) charTimeUs_ = platform::CharTimeUs(line);
  return 1;
}

int32_t SerialLine::OpenComm(const velk::PortSettings& settings) {
  directionControl = DirectionControl::kRequestToSend;
  // Taken before the opening can fail: the next transaction waits this long.
  answerTimeoutMs = settings.timeoutMs;

  char name[sizeof settings.portName + 1];
  const size_t nameLength = strnlen(settings.portName, sizeof settings.portName);
  memcpy(name, settings.portName, nameLength);
  name[nameLength] = '\0';

  platform::Opened opened = api_.Open(name);
  if (opened.port == nullptr) {
    diagnostics.lastPortError =
        opened.error == platform::OpenError::kNone ? velk::kPortOpenOther : PortOpenErrorOf(opened.error);
    return 0;
  }
  std::unique_ptr<platform::Port> port = std::move(opened.port);
  const platform::LineSettings line = LineSettingsOf(settings);
  if (!port->Configure(line)) {
    diagnostics.lastPortError = velk::kPortOpenSettingsRefused;
    return 0;  // the new port closes with `port`
  }
  diagnostics.lastPortError = velk::kPortOpenOk;
  charTimeUs_ = platform::CharTimeUs(line);
  // The RS-485 line driver starts out listening.
  port->SetDirection(platform::Direction::kReceive);
  port->Discard(platform::Queue::kBoth);
  port->SetWriteLimit(kWriteMsPerByte, 0);

  ReleasePort();
  port_ = std::move(port);
  adopted_ = false;
  portLost_ = false;
  // A late answer to whoever held the port before may still come.
  inputSettled_ = false;
  return 1;
}

platform::Port* SerialLine::PortForExchange() {
  if (portLost_ && reopenArmed_ && !adopted_ && portSettingsGiven) {
    reopenArmed_ = false;
    Reopen();
  }
  if (port_ == nullptr) diagnostics.Fail(portLost_ ? velk::kOutcomePortLost : velk::kOutcomeNoPort);
  return port_.get();
}

void SerialLine::FailOnPort(platform::Port* port, int32_t otherwise) {
  // A look without waiting tells a hung-up device from a slow or refusing one.
  if (port != nullptr && port->Wait(0) == platform::WaitResult::kHangUp) {
    NotePortLost();
    diagnostics.Fail(velk::kOutcomePortLost);
    return;
  }
  diagnostics.Fail(otherwise);
}

uint32_t SerialLine::WholeAnswerBoundMs() const {
  const uint64_t timeout = answerTimeoutMs > 0 ? static_cast<uint64_t>(answerTimeoutMs) : 0;
  const uint64_t wire = (static_cast<uint64_t>(kMaxAnswer) * charTimeUs_ + 999u) / 1000u;
  const uint64_t bound = 2 * timeout + wire;
  // Kept below 2^31 so that deadlines compare wrap-safe.
  return bound > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(bound);
}

void SerialLine::Reopen() {
  if (!portSettingsGiven) return;
  // Counts as the packet's re-opening (the probe asks for one itself).
  reopenArmed_ = false;
  ReleasePort();
  OpenComm(portSettings);
}

void SerialLine::ReleasePort() { port_.reset(); }

}  // namespace serial
