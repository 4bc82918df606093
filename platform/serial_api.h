// Serial-port services the line logic needs, shaped after the calls it was
// designed against (open exclusively, device control block, time-outs, queue
// status, purge, RTS). One implementation per operating system, chosen at
// build time; tests substitute an in-memory line.
#ifndef VELK_PLATFORM_SERIAL_API_H
#define VELK_PLATFORM_SERIAL_API_H

#include <stdint.h>

#include <memory>

namespace platform {

// A port handle: a HANDLE on Windows, a descriptor on POSIX; -1 is no port.
typedef intptr_t Handle;
const Handle kNoHandle = -1;

// The part of the device control block the driver sets. GetState fills it
// from the port; SetState applies these members and leaves every other
// setting of the port (flow control, special characters) as it is.
struct CommState {
  uint32_t baudRate = 0;
  uint8_t byteSize = 8;
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits = 0;  // 0 one stop bit, 2 two stop bits
};

// Read and write time-outs with the meaning of COMMTIMEOUTS. The driver only
// uses "reads return at once with what is waiting" (interval all ones, the
// totals 0) and a per-byte write time-out plus a constant.
struct CommTimeouts {
  uint32_t readInterval = 0xFFFFFFFFu;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
};

struct CommStatus {
  uint32_t inQueue = 0;   // bytes received and not yet read
  uint32_t outQueue = 0;  // bytes not yet on the wire
};

enum PurgeFlags : uint32_t {
  kPurgeTxAbort = 0x1,
  kPurgeRxAbort = 0x2,
  kPurgeTxClear = 0x4,
  kPurgeRxClear = 0x8,
};

// What woke a wait for input.
enum class WaitResult {
  kInput,    // bytes are waiting to be read
  kTimeout,  // the wait's time ran out first
  kHangUp,   // the device went away (unplugged adapter, closed peer): no byte will come
};

// Why the calling thread's last Open failed.
enum class OpenError {
  kNone,
  kMissing,     // no such device
  kBusy,        // held by another program or handle
  kPermission,  // the caller may not open it
  kNotSerial,   // it exists but is not a serial device
  kOther,
};

const uint32_t kEventRxFlag = 0x0002;
const uint32_t kEventBreak = 0x0040;

// One open port: its settings, the bytes it holds and the calls its device
// refused live in the object itself, and no call looks anything up.
// Destroying it closes the port, exactly once.
class Port {
 public:
  virtual ~Port() = default;
  Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // The system's handle of the port; kNoHandle for a network line.
  virtual Handle handle() const = 0;

  virtual bool SetupQueues(uint32_t inBytes, uint32_t outBytes) = 0;
  virtual bool GetState(CommState* state) = 0;
  virtual bool SetState(const CommState& state) = 0;
  virtual bool SetEventMask(uint32_t mask) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  // Raises or drops the request-to-send line. False when the driver cannot
  // switch the direction on this port: the device refused the call (a
  // pseudo-terminal, an adapter without the line; the refusal is remembered
  // by the port and not asked again) or the system drives the direction
  // itself (kernel RS-485 mode). Either way the caller has no direction to
  // switch.
  virtual bool SetRts(bool raised) = 0;
  virtual bool Purge(uint32_t flags) = 0;

  // Queue counts; asking also clears a pending line error. On POSIX the
  // output count includes a character still in the UART's shift register
  // where the device reports it, so a drained queue means the line is idle.
  virtual bool Status(CommStatus* status) = 0;

  // Reads up to `count` bytes that are already waiting; never blocks. True
  // with *got 0 when nothing waits.
  virtual bool Read(void* bytes, uint32_t count, uint32_t* got) = 0;
  // Writes all bytes, bounded by the write time-outs set last (a port whose
  // time-outs were never set, such as an adopted one, gets a default bound,
  // also when its descriptor was opened blocking).
  virtual bool Write(const void* bytes, uint32_t count, uint32_t* written) = 0;

  // Waits until input is waiting, the device hangs up or `maxMs` passed,
  // whichever comes first, and says which. With `maxMs` 0 it only looks:
  // kInput or kHangUp when that holds now, else kTimeout. POSIX waits on the
  // descriptor; Windows sleeps about 1 ms per call and may answer kInput
  // with nothing to read yet (the next Read then gets 0 bytes).
  //
  // A hang-up (unplugged adapter, the far side of a pseudo-terminal or a
  // network line closed) looks like this through each call, for as long as
  // the port object lives; nothing of it ever blocks or waits out a time:
  //   WaitForInput  kHangUp, at once (after a pause of at most 1 ms, so that
  //                 a caller that keeps waiting does not spin)
  //   Read          false (or true with 0 bytes on a tty the system hung up;
  //                 WaitForInput tells the two apart)
  //   Write         false, at once
  //   Status        false
  //   SetRts, Purge false
  // Only letting go of it helps: a new Open of the same name reaches the
  // device when it is back.
  virtual WaitResult WaitForInput(uint32_t maxMs) = 0;
};

// Opens ports. Which kind of port a name gives is decided here, once.
class SerialApi {
 public:
  virtual ~SerialApi() = default;

  // Opens a serial device for reading and writing, exclusively. Windows
  // device paths ("\\.\COM1", "//./COM1") are taken as they are; on POSIX
  // such a prefix is dropped and a name not starting with "/" is looked up
  // in /dev. Null on failure; LastOpenError then tells why.
  virtual std::unique_ptr<Port> Open(const char* path) = 0;
  // Takes over a port the host opened: the object closes it when destroyed,
  // as an opened one. Null for kNoHandle.
  virtual std::unique_ptr<Port> Adopt(Handle handle) = 0;
  // The cause of the calling thread's last failed Open (kNone after one
  // that succeeded).
  virtual OpenError LastOpenError() = 0;

  // True on a platform whose device names end in ":" (the embedded one).
  virtual bool DeviceNamesNeedColon() = 0;
};

// The serial services the driver uses: a port name "tcp:HOST:PORT" or
// "rfc2217:HOST:PORT" is a line behind a device server (platform/net_line.h),
// any other name a device of the operating system.
SerialApi& SystemSerialApi();
// The operating system's serial devices alone.
SerialApi& DeviceSerialApi();

}  // namespace platform

#endif
