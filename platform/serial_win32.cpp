// Serial ports on Windows: the port is opened for synchronous use with share
// mode 0, so the system itself keeps it exclusive. The device control block,
// the comm time-outs and the "\\.\" device namespace stay in this file.
#include <string.h>
#include <windows.h>

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/line_timing.h"
#include "platform/serial_api.h"

namespace platform {
namespace {

HANDLE Native(Handle h) { return reinterpret_cast<HANDLE>(h); }

bool Valid(Handle h) { return Native(h) != INVALID_HANDLE_VALUE && Native(h) != nullptr; }

// Queue sizes asked for at every opening; a full input queue is this size.
const DWORD kInputQueueBytes = 1024;
const DWORD kOutputQueueBytes = 512;

// A host names its port "COM1"; ports from COM10 on open only through the
// device namespace, so every name is taken there unless it already is.
std::string DevicePath(const char* name) {
  if (strncmp(name, "\\\\.\\", 4) == 0 || strncmp(name, "//./", 4) == 0) return name;
  return std::string("\\\\.\\") + name;
}

OpenError OpenErrorOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT: return OpenError::kMissing;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return OpenError::kBusy;
    // A COM port held by another program answers "access denied".
    case ERROR_ACCESS_DENIED: return OpenError::kBusy;
    case ERROR_PRIVILEGE_NOT_HELD: return OpenError::kPermission;
    default: return OpenError::kOther;
  }
}

// One port handle. The idle wait reads the first byte of an answer with a
// time-out, so that it wakes when the byte arrives instead of at the next
// tick of the system timer (Sleep(1) lasts up to 15.6 ms unless the timer is
// raised for the whole process). The byte it took stays in the object until
// the next Read, and Status counts it as waiting. The handle is closed once,
// with the object.
class Win32Port final : public Port {
 public:
  explicit Win32Port(Handle h) : h_(h) {}
  ~Win32Port() override {
    if (Valid(h_)) CloseHandle(Native(h_));
  }

  Handle handle() const override { return h_; }

  bool Configure(const LineSettings& settings) override {
    // Only the four members change; flow control and the rest stay as the
    // port has them.
    DCB dcb;
    if (settings.stopBits != 1 && settings.stopBits != 2) return false;
    if (!ReadDcb(&dcb)) return false;
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    if (SetCommState(Native(h_), &dcb) == 0) return false;
    charTimeUs_ = CharTimeUs(settings);
    return true;
  }

  bool Settings(LineSettings* settings) override {
    DCB dcb;
    if (settings == nullptr || !ReadDcb(&dcb)) return false;
    settings->baudRate = dcb.BaudRate;
    settings->dataBits = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return true;
  }

  bool SetWriteLimit(uint32_t msPerByte, uint32_t extraMs) override {
    if (!Valid(h_)) return false;
    // Reads return at once with what is waiting.
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = msPerByte;
    t.WriteTotalTimeoutConstant = extraMs;
    return SetCommTimeouts(Native(h_), &t) != 0;
  }

  bool SetDirection(Direction direction) override {
    return Valid(h_) && EscapeCommFunction(Native(h_), direction == Direction::kTransmit ? SETRTS : CLRRTS) != 0;
  }

  bool Discard(Queue queue) override {
    DWORD flags = 0;
    if (queue != Queue::kOutput) {
      flags |= PURGE_RXABORT | PURGE_RXCLEAR;
      held_ = false;
    }
    if (queue != Queue::kInput) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    return Valid(h_) && PurgeComm(Native(h_), flags) != 0;
  }

  bool Drain(uint32_t maxMs) override {
    if (charTimeUs_ == 0) {
      // An adopted port: its rate is asked for at its first drain.
      LineSettings settings;
      charTimeUs_ = Settings(&settings) ? CharTimeUs(settings) : 1000u;
    }
    return DrainQueue(SystemClock(), charTimeUs_, maxMs, [this](uint32_t* bytes) {
      COMSTAT stat;
      if (!QueryQueues(&stat)) return false;
      *bytes = stat.cbOutQue;
      return true;
    });
  }

  bool Read(void* bytes, uint32_t count, uint32_t* got) override {
    if (got != nullptr) *got = 0;
    if (!Valid(h_) || (bytes == nullptr && count > 0)) return false;
    if (count == 0) return true;
    unsigned char* out = static_cast<unsigned char*>(bytes);
    DWORD held = 0;
    if (held_) {
      out[0] = heldByte_;
      held_ = false;
      held = 1;
    }
    DWORD n = 0;
    // The held byte is delivered even when the port fails right after it.
    const bool ok = count == held || ReadFile(Native(h_), out + held, count - held, &n, nullptr) != 0;
    if (got != nullptr) *got = held + n;
    return ok || held > 0;
  }

  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (!Valid(h_) || (bytes == nullptr && count > 0)) return false;
    DWORD n = 0;
    const BOOL ok = WriteFile(Native(h_), bytes, count, &n, nullptr);
    if (written != nullptr) *written = n;
    // A write time-out returns success with fewer bytes: that is a failure.
    return ok != 0 && n == count;
  }

  // Waits for the first byte with the read time-outs: interval and
  // multiplier all ones with a constant make ReadFile return as soon as one
  // byte is there, or with none after the constant. The port's own time-outs
  // are put back before returning.
  WaitResult Wait(uint32_t maxMs) override {
    if (held_) return WaitResult::kInput;
    if (maxMs == 0) {
      COMSTAT stat;
      if (!QueryQueues(&stat)) return WaitResult::kHangUp;
      return stat.cbInQue > 0 ? WaitResult::kInput : WaitResult::kTimeout;
    }
    COMMTIMEOUTS saved;
    if (!Valid(h_) || GetCommTimeouts(Native(h_), &saved) == 0) return SleepOnce();
    COMMTIMEOUTS wait = saved;
    wait.ReadIntervalTimeout = MAXDWORD;
    wait.ReadTotalTimeoutMultiplier = MAXDWORD;
    wait.ReadTotalTimeoutConstant = maxMs < MAXDWORD ? maxMs : MAXDWORD - 1;
    if (SetCommTimeouts(Native(h_), &wait) == 0) return SleepOnce();
    unsigned char byte = 0;
    DWORD n = 0;
    const BOOL ok = ReadFile(Native(h_), &byte, 1, &n, nullptr);
    SetCommTimeouts(Native(h_), &saved);
    if (ok == 0 || n == 0) return ok == 0 ? WaitResult::kHangUp : WaitResult::kTimeout;
    heldByte_ = byte;
    held_ = true;
    return WaitResult::kInput;
  }

 private:
  // Where the read time-outs cannot be used (not a serial port): the old
  // poll step, one sleep of a millisecond or of the timer's tick.
  static WaitResult SleepOnce() {
    Sleep(1);
    return WaitResult::kInput;  // the caller's next status query tells
  }

  // The queue counts; asking also clears a pending line error.
  bool QueryQueues(COMSTAT* stat) {
    DWORD errors = 0;
    return Valid(h_) && ClearCommError(Native(h_), &errors, stat) != 0;
  }

  bool ReadDcb(DCB* dcb) {
    if (!Valid(h_)) return false;
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(Native(h_), dcb) != 0;
  }

  const Handle h_;
  uint32_t charTimeUs_ = 0;  // of the settings last applied; 0 until known
  bool held_ = false;
  unsigned char heldByte_ = 0;
};

class Win32SerialApi final : public SerialApi {
 public:
  Opened Open(const char* name) override {
    Opened opened;
    opened.error = OpenError::kMissing;
    if (name == nullptr || name[0] == '\0') return opened;
    HANDLE port = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      opened.error = OpenErrorOf(GetLastError());
      return opened;
    }
    SetupComm(port, kInputQueueBytes, kOutputQueueBytes);
    opened.error = OpenError::kNone;
    opened.port.reset(new Win32Port(reinterpret_cast<Handle>(port)));
    return opened;
  }

  std::unique_ptr<Port> Adopt(Handle h) override {
    if (h == kNoHandle) return nullptr;
    return std::unique_ptr<Port>(new Win32Port(h));
  }
};

}  // namespace

SerialApi& DeviceSerialApi() {
  static Win32SerialApi api;
  return api;
}

}  // namespace platform
