// Serial ports on Windows: the port is opened for synchronous use with share
// mode 0, so the system itself keeps it exclusive.
#include <windows.h>

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

class Win32SerialApi final : public SerialApi {
 public:
  Handle Open(const char* path) override {
    lastOpenError = OpenError::kMissing;
    if (path == nullptr || path[0] == '\0') return kNoHandle;
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      lastOpenError = OpenErrorOf(GetLastError());
      return kNoHandle;
    }
    lastOpenError = OpenError::kNone;
    return reinterpret_cast<Handle>(port);
  }

  OpenError LastOpenError() override { return lastOpenError; }

  bool Close(Handle h) override { return Valid(h) && CloseHandle(Native(h)) != 0; }

  bool SetupQueues(Handle h, uint32_t inBytes, uint32_t outBytes) override {
    return Valid(h) && SetupComm(Native(h), inBytes, outBytes) != 0;
  }

  bool GetState(Handle h, CommState* state) override {
    DCB dcb;
    if (state == nullptr || !ReadDcb(h, &dcb)) return false;
    state->baudRate = dcb.BaudRate;
    state->byteSize = dcb.ByteSize;
    state->parity = dcb.Parity;
    state->stopBits = dcb.StopBits;
    return true;
  }

  bool SetState(Handle h, const CommState& state) override {
    // Only the four members change; flow control and the rest stay as the
    // port has them.
    DCB dcb;
    if (!ReadDcb(h, &dcb)) return false;
    dcb.BaudRate = state.baudRate;
    dcb.ByteSize = state.byteSize;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stopBits;
    return SetCommState(Native(h), &dcb) != 0;
  }

  bool SetEventMask(Handle h, uint32_t mask) override { return Valid(h) && SetCommMask(Native(h), mask) != 0; }

  bool SetTimeouts(Handle h, const CommTimeouts& timeouts) override {
    if (!Valid(h)) return false;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return SetCommTimeouts(Native(h), &t) != 0;
  }

  bool SetRts(Handle h, bool raised) override {
    return Valid(h) && EscapeCommFunction(Native(h), raised ? SETRTS : CLRRTS) != 0;
  }

  bool Purge(Handle h, uint32_t flags) override { return Valid(h) && PurgeComm(Native(h), flags) != 0; }

  bool Status(Handle h, CommStatus* status) override {
    DWORD errors = 0;
    COMSTAT stat;
    if (status == nullptr || !Valid(h) || ClearCommError(Native(h), &errors, &stat) == 0) return false;
    status->inQueue = stat.cbInQue;
    status->outQueue = stat.cbOutQue;
    return true;
  }

  bool Read(Handle h, void* bytes, uint32_t count, uint32_t* got) override {
    if (got != nullptr) *got = 0;
    if (!Valid(h) || (bytes == nullptr && count > 0)) return false;
    DWORD n = 0;
    if (ReadFile(Native(h), bytes, count, &n, nullptr) == 0) return false;
    if (got != nullptr) *got = n;
    return true;
  }

  bool Write(Handle h, const void* bytes, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (!Valid(h) || (bytes == nullptr && count > 0)) return false;
    DWORD n = 0;
    const BOOL ok = WriteFile(Native(h), bytes, count, &n, nullptr);
    if (written != nullptr) *written = n;
    // A write time-out returns success with fewer bytes: that is a failure.
    return ok != 0 && n == count;
  }

  WaitResult WaitForInput(Handle h, uint32_t maxMs) override {
    // A port whose device went away (an unplugged adapter) fails the status
    // query: that is the hang-up, and no byte will come.
    DWORD errors = 0;
    COMSTAT stat;
    if (!Valid(h) || ClearCommError(Native(h), &errors, &stat) == 0) {
      Sleep(1);
      return WaitResult::kHangUp;
    }
    if (stat.cbInQue > 0) return WaitResult::kInput;
    if (maxMs == 0) return WaitResult::kTimeout;
    Sleep(1);
    return WaitResult::kInput;  // the caller's next read tells
  }

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

 private:
  static bool ReadDcb(Handle h, DCB* dcb) {
    if (!Valid(h)) return false;
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(Native(h), dcb) != 0;
  }
};

}  // namespace

SerialApi& DeviceSerialApi() {
  static Win32SerialApi api;
  return api;
}

}  // namespace platform
