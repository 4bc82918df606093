// Serial ports on Windows: the port is opened for synchronous use with share
// mode 0, so the system itself keeps it exclusive.
#include <windows.h>

#include <memory>

#include "platform/serial_api.h"

namespace platform {
namespace {

HANDLE Native(Handle h) { return reinterpret_cast<HANDLE>(h); }

bool Valid(Handle h) { return Native(h) != INVALID_HANDLE_VALUE && Native(h) != nullptr; }

thread_local OpenError lastOpenError = OpenError::kNone;

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

  bool SetupQueues(uint32_t inBytes, uint32_t outBytes) override {
    return Valid(h_) && SetupComm(Native(h_), inBytes, outBytes) != 0;
  }

  bool GetState(CommState* state) override {
    DCB dcb;
    if (state == nullptr || !ReadDcb(&dcb)) return false;
    state->baudRate = dcb.BaudRate;
    state->byteSize = dcb.ByteSize;
    state->parity = dcb.Parity;
    state->stopBits = dcb.StopBits;
    return true;
  }

  bool SetState(const CommState& state) override {
    // Only the four members change; flow control and the rest stay as the
    // port has them.
    DCB dcb;
    if (!ReadDcb(&dcb)) return false;
    dcb.BaudRate = state.baudRate;
    dcb.ByteSize = state.byteSize;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stopBits;
    return SetCommState(Native(h_), &dcb) != 0;
  }

  bool SetEventMask(uint32_t mask) override { return Valid(h_) && SetCommMask(Native(h_), mask) != 0; }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    if (!Valid(h_)) return false;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return SetCommTimeouts(Native(h_), &t) != 0;
  }

  bool SetRts(bool raised) override {
    return Valid(h_) && EscapeCommFunction(Native(h_), raised ? SETRTS : CLRRTS) != 0;
  }

  bool Purge(uint32_t flags) override {
    if ((flags & (kPurgeRxAbort | kPurgeRxClear)) != 0) held_ = false;
    return Valid(h_) && PurgeComm(Native(h_), flags) != 0;
  }

  bool Status(CommStatus* status) override {
    DWORD errors = 0;
    COMSTAT stat;
    if (status == nullptr || !Valid(h_) || ClearCommError(Native(h_), &errors, &stat) == 0) return false;
    status->inQueue = stat.cbInQue + (held_ ? 1 : 0);
    status->outQueue = stat.cbOutQue;
    return true;
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
  WaitResult WaitForInput(uint32_t maxMs) override {
    if (held_) return WaitResult::kInput;
    if (maxMs == 0) return WaitResult::kTimeout;
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

  bool ReadDcb(DCB* dcb) {
    if (!Valid(h_)) return false;
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(Native(h_), dcb) != 0;
  }

  const Handle h_;
  bool held_ = false;
  unsigned char heldByte_ = 0;
};

class Win32SerialApi final : public SerialApi {
 public:
  std::unique_ptr<Port> Open(const char* path) override {
    lastOpenError = OpenError::kMissing;
    if (path == nullptr || path[0] == '\0') return nullptr;
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      lastOpenError = OpenErrorOf(GetLastError());
      return nullptr;
    }
    lastOpenError = OpenError::kNone;
    return std::unique_ptr<Port>(new Win32Port(reinterpret_cast<Handle>(port)));
  }

  std::unique_ptr<Port> Adopt(Handle h) override {
    if (h == kNoHandle) return nullptr;
    return std::unique_ptr<Port>(new Win32Port(h));
  }

  OpenError LastOpenError() override { return lastOpenError; }

  bool DeviceNamesNeedColon() override {
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExA(&info);
#pragma GCC diagnostic pop
    return ok != 0 && info.dwPlatformId == 3;  // VER_PLATFORM_WIN32_CE
  }
};

}  // namespace

SerialApi& DeviceSerialApi() {
  static Win32SerialApi api;
  return api;
}

}  // namespace platform
