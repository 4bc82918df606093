// Serial-port services in the line's own terms: open a port exclusively,
// configure its framing, switch the RS-485 direction, discard or drain its
// queues, read, write and wait. One implementation per operating system,
// chosen at build time; tests substitute an in-memory line.
#ifndef VELK_PLATFORM_SERIAL_API_H
#define VELK_PLATFORM_SERIAL_API_H

#include <stdint.h>

#include <memory>

namespace platform {

// A port handle: a HANDLE on Windows, a descriptor on POSIX; -1 is no port.
typedef intptr_t Handle;
const Handle kNoHandle = -1;

// A line's framing, numbered as the host's PortSettings number it.
struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t dataBits = 8;  // 5 to 8
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits = 1;  // 1 or 2
};

// Which way the RS-485 line driver faces.
enum class Direction : uint8_t {
  kTransmit,  // request-to-send raised: our bytes go on the bus
  kReceive,   // dropped: the modules' answers come in
};

// Which queue Discard empties.
enum class Queue : uint8_t { kInput, kOutput, kBoth };

// What woke a wait for input.
enum class WaitResult {
  kInput,    // bytes are waiting to be read
  kTimeout,  // the wait's time ran out first
  kHangUp,   // the device went away (unplugged adapter, closed peer): no byte will come
};

// Why an opening failed.
enum class OpenError {
  kNone,
  kMissing,     // no such device
  kBusy,        // held by another program or handle
  kPermission,  // the caller may not open it
  kNotSerial,   // it exists but is not a serial device
  kOther,
};

// How long a write may take when nobody said (an adopted port): per byte
// and once.
const uint32_t kDefaultWriteMsPerByte = 100;
const uint32_t kDefaultWriteExtraMs = 1000;

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

  // Applies baud rate, data bits, parity and stop bits, leaving every other
  // setting of the port (flow control, special characters) as it is, and
  // makes the line carry raw bytes. False when the port refuses them.
  virtual bool Configure(const LineSettings& settings) = 0;
  // The framing the port has now.
  virtual bool Settings(LineSettings* settings) = 0;
  // Bounds every later write to `msPerByte` per byte plus `extraMs`, and
  // makes reads return at once with what is waiting. Until it is called a
  // port the host handed over keeps its own read behaviour, and writes get
  // the default bound (also when its descriptor was opened blocking).
  virtual bool SetWriteLimit(uint32_t msPerByte, uint32_t extraMs) = 0;

  // Faces the RS-485 line driver one way. False when the driver cannot
  // switch the direction on this port: the device refused the call (a
  // pseudo-terminal, an adapter without the line; the refusal is remembered
  // by the port and not asked again) or the system drives the direction
  // itself (kernel RS-485 mode). Either way the caller has no direction to
  // switch.
  virtual bool SetDirection(Direction direction) = 0;
  // Drops what waits in the queue (bytes received and not read, or bytes
  // written and not yet sent).
  virtual bool Discard(Queue queue) = 0;
  // Waits until every byte written has left the wire (on POSIX the UART's
  // shift register included, where the device tells), at most `maxMs`,
  // sleeping through the wire time still queued. False when it did not
  // drain in that time or the device failed.
  virtual bool Drain(uint32_t maxMs) = 0;

  // Reads up to `count` bytes that are already waiting; never blocks. True
  // with *got 0 when nothing waits.
  virtual bool Read(void* bytes, uint32_t count, uint32_t* got) = 0;
  // Writes all bytes within the write limit.
  virtual bool Write(const void* bytes, uint32_t count, uint32_t* written) = 0;

  // Waits until input is waiting, the device hangs up or `maxMs` passed,
  // whichever comes first, and says which. With `maxMs` 0 it only looks:
  // kInput or kHangUp when that holds now, else kTimeout. On Windows a
  // wait may answer kInput with nothing to read yet (the next Read then
  // gets 0 bytes).
  //
  // A hang-up (unplugged adapter, the far side of a pseudo-terminal or a
  // network line closed) looks like this through each call, for as long as
  // the port object lives; nothing of it ever blocks or waits out a time:
  //   Wait          kHangUp, at once (after a pause of at most 1 ms, so that
  //                 a caller that keeps waiting does not spin)
  //   Read          false (or true with 0 bytes on a tty the system hung up;
  //                 Wait tells the two apart)
  //   Write         false, at once
  //   Drain, SetDirection, Discard  false
  // Only letting go of it helps: a new opening of the same name reaches the
  // device when it is back.
  virtual WaitResult Wait(uint32_t maxMs) = 0;
};

// The outcome of an opening: the port, or why there is none.
struct Opened {
  std::unique_ptr<Port> port;
  OpenError error = OpenError::kNone;
};

// Opens ports. Which kind of port a name gives is decided here, once.
class SerialApi {
 public:
  virtual ~SerialApi() = default;

  // Opens a serial device by the name the host gives ("COM1", "ttyUSB0",
  // "/dev/ttyUSB0") for reading and writing, exclusively. Each system
  // spells the name its own way: on POSIX a name not starting with "/" is
  // looked up in /dev.
  virtual Opened Open(const char* name) = 0;
  // Takes over a port the host opened: the object closes it when destroyed,
  // as an opened one. Null for kNoHandle.
  virtual std::unique_ptr<Port> Adopt(Handle handle) = 0;
};

// The serial services the driver uses: a port name "tcp:HOST:PORT" or
// "rfc2217:HOST:PORT" is a line behind a device server (platform/net_line.h),
// any other name a device of the operating system.
SerialApi& SystemSerialApi();
// The operating system's serial devices alone.
SerialApi& DeviceSerialApi();

}  // namespace platform

#endif
