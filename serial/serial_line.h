// The driver's serial line: the settings it was given, the port it holds,
// opening, adopting and closing that port, and the command transaction with
// RS-485 direction control.
#ifndef VELK_SERIAL_SERIAL_LINE_H
#define VELK_SERIAL_SERIAL_LINE_H

#include <stdint.h>

#include "platform/clock.h"
#include "platform/serial_api.h"
#include "serial/comm_device.h"
#include "serial/line_diagnostics.h"
#include "velk4000/velk4000.h"

namespace serial {

// Largest answer the transaction accepts, carriage return included.
const int32_t kMaxAnswer = 512;
// Largest single read of the transaction.
const uint32_t kMaxChunk = 500;

// One port, two holders: `portHandle` and the device's `m_hPort` normally
// denote the same port, which the line owns and closes; the device only
// forgets its copy. A port the device holds that differs from `portHandle`
// (the old port after SetPortHandle, or one the device opened itself) is the
// device's, and the line only ever asks the device to close it. When the
// device closes the shared port itself the line forgets it; when the device
// opens a port while the line holds none, the line takes it. So every handle
// is closed exactly once and none is used after its closing.
class SerialLine final : private PortObserver {
 public:
  // `device` is the driver's serial device object; the line keeps its handle
  // and settings in step with its own.
  SerialLine(platform::SerialApi& api, platform::Clock& clock, CCOMDevice& device);
  ~SerialLine();  // closes the port as ClosePort does
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  int32_t OpenPort(const velk::PortSettings* settings);
  int32_t ClosePort();
  int32_t SetPortHandle(const velk::PortHandle* handle);
  // Opens and configures the port from `settings`; 1 or 0.
  int32_t OpenComm(const velk::PortSettings& settings);
  // Closes the port and opens it again from the stored settings, when
  // settings were ever given. The outcome is left to the next transaction.
  void Reopen();

  // Starts a packet: a port that hung up may be opened again once more.
  void StartPacket() { reopenArmed_ = true; }
  // The port an exchange is to use. A port that hung up is re-opened from
  // the stored settings first, at most once per packet, so that a re-plugged
  // adapter or a restarted peer comes back by itself; a port the host handed
  // over is never re-opened (its exchanges fail). kNoHandle when there is
  // none; the cause is then recorded in `diagnostics`.
  platform::Handle PortForExchange();
  // An exchange found the port hung up; the next packet re-opens it.
  void NotePortLost() { portLost_ = true; }
  bool portLost() const { return portLost_; }
  // Records why a command or its answer went wrong after the port failed a
  // call: a hang-up (noted for re-opening) or else `otherwise`.
  void FailOnPort(platform::Handle port, int32_t otherwise);

  // The packet layer found the answer of the last exchange bad (wrong lead,
  // address or form): the exchange ended without a valid answer.
  void NoteBadAnswer() { diagnostics.Fail(velk::kOutcomeBadAnswer); }

  // Wire time of one character at the line's settings, in microseconds.
  uint32_t charTimeUs() const { return charTimeUs_; }
  // The bound on a whole answer, however it trickles in: twice the answer
  // time-out plus the wire time of the largest answer.
  uint32_t WholeAnswerBoundMs() const;

  // Sends `length` bytes of `buffer` as one command and collects the answer
  // into `buffer` (at least kMaxAnswer bytes). Returns 1 with the answer's
  // byte count in `length`, or 0. A command containing "#**" returns 1 once
  // written, with the command left in place.
  int32_t Transact(char* buffer, int32_t* length);
  // Writes one command with direction control; 1 or 0.
  int32_t WriteCommand(platform::Handle port, const char* bytes, uint32_t count, uint32_t* written);

  platform::SerialApi& api() { return api_; }
  platform::Clock& clock() { return clock_; }
  CCOMDevice& device() { return device_; }

  platform::Handle portHandle = platform::kNoHandle;
  int32_t answerTimeoutMs = 8000;
  int16_t rtsControl = 0;  // 0 until the first opening: leaves RTS alone
  uint16_t pollDelayMs = 15;
  velk::PortSettings portSettings{};
  int32_t portSettingsGiven = 0;
  // Why exchanges failed, counters and the trace hook; see line_diagnostics.h.
  LineDiagnostics diagnostics;

 private:
  void OnDeviceClosedPort(platform::Handle closed) override;
  void OnDeviceOpenedPort(platform::Handle opened) override;
  // Closes the line's port and has the device let go of its copy (or close
  // a port of its own): the closing of ClosePort, re-opening and destruction.
  void ReleasePort();
  // Makes `port` the line's and the device's port.
  void TakePort(platform::Handle port);

  // The wait of WriteCommand for the command to leave the wire before RTS
  // drops: it sleeps for the wire time still queued, bounded by the answer
  // time-out. False when the transmitter did not drain in that time.
  bool WaitUntilSent(platform::Handle port);
  void SetCharTime(uint32_t baud, uint32_t dataBits, uint32_t parity, uint32_t stopBits);

  platform::SerialApi& api_;
  platform::Clock& clock_;
  CCOMDevice& device_;
  bool portLost_ = false;
  bool adopted_ = false;  // the port came through SetPortHandle
  bool reopenArmed_ = true;
  uint32_t charTimeUs_ = 1042;  // 9600 baud, 8N1, until a port says otherwise
};

}  // namespace serial

#endif
