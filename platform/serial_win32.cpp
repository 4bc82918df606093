// Serial ports on Windows: the port is opened for synchronous use with share
// mode 0, so the system itself keeps it exclusive.
#include <windows.h>

#include <atomic>

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

// The idle wait reads the first byte of an answer with a time-out, so that it
// wakes when the byte arrives instead of at the next tick of the system timer
// (Sleep(1) lasts up to 15.6 ms unless the timer is raised for the whole
// process). The byte it took stays here until the next Read of that handle,
// and Status counts it as waiting. A line normally has at most one byte
// held, taken and handed out on the same thread within one transaction.
class HeldBytes {
 public:
  // A slot for a byte of `h`, or -1 when every slot is in use; the wait
  // reads nothing without one, so no byte is ever taken and lost.
  int Reserve(Handle h) {
    Lock lock(this);
    for (int i = 0; i < kSlots; ++i) {
      if (slots_[i].handle != kNoHandle) continue;
      slots_[i].handle = h;
      slots_[i].full = false;
      return i;
    }
    return -1;
  }
  void Fill(int slot, unsigned char byte) {
    Lock lock(this);
    slots_[slot].byte = byte;
    slots_[slot].full = true;
    count_.fetch_add(1, std::memory_order_release);
  }
  void Release(int slot) {
    Lock lock(this);
    slots_[slot].handle = kNoHandle;
  }
  bool Has(Handle h) {
    if (count_.load(std::memory_order_acquire) == 0) return false;
    Lock lock(this);
    for (const Slot& slot : slots_)
      if (slot.full && slot.handle == h) return true;
    return false;
  }
  // Removes the byte held for `h`; false when there is none.
  bool Take(Handle h, unsigned char* byte) {
    if (count_.load(std::memory_order_acquire) == 0) return false;
    Lock lock(this);
    for (Slot& slot : slots_) {
      if (!slot.full || slot.handle != h) continue;
      if (byte != nullptr) *byte = slot.byte;
      slot.handle = kNoHandle;
      slot.full = false;
      count_.fetch_sub(1, std::memory_order_release);
      return true;
    }
    return false;
  }

 private:
  struct Slot {
    Handle handle = kNoHandle;
    bool full = false;
    unsigned char byte = 0;
  };
  struct Lock {
    explicit Lock(HeldBytes* owner) : owner_(owner) { AcquireSRWLockExclusive(&owner_->lock_); }
    ~Lock() { ReleaseSRWLockExclusive(&owner_->lock_); }
    HeldBytes* owner_;
  };
  // One per line a process waits on at once is plenty; with every slot in
  // use the wait falls back to sleeping.
  static const int kSlots = 64;
  Slot slots_[kSlots];
  std::atomic<int> count_{0};
  SRWLOCK lock_ = SRWLOCK_INIT;
};

HeldBytes heldBytes;

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

  bool Close(Handle h) override {
    heldBytes.Take(h, nullptr);
    return Valid(h) && CloseHandle(Native(h)) != 0;
  }

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

  bool Purge(Handle h, uint32_t flags) override {
    if ((flags & (kPurgeRxAbort | kPurgeRxClear)) != 0) heldBytes.Take(h, nullptr);
    return Valid(h) && PurgeComm(Native(h), flags) != 0;
  }

  bool Status(Handle h, CommStatus* status) override {
    DWORD errors = 0;
    COMSTAT stat;
    if (status == nullptr || !Valid(h) || ClearCommError(Native(h), &errors, &stat) == 0) return false;
    status->inQueue = stat.cbInQue + (heldBytes.Has(h) ? 1 : 0);
    status->outQueue = stat.cbOutQue;
    return true;
  }

  bool Read(Handle h, void* bytes, uint32_t count, uint32_t* got) override {
    if (got != nullptr) *got = 0;
    if (!Valid(h) || (bytes == nullptr && count > 0)) return false;
    if (count == 0) return true;
    unsigned char* out = static_cast<unsigned char*>(bytes);
    DWORD held = 0;
    if (heldBytes.Take(h, out)) held = 1;
    DWORD n = 0;
    // The held byte is delivered even when the port fails right after it.
    const bool ok = count == held || ReadFile(Native(h), out + held, count - held, &n, nullptr) != 0;
    if (got != nullptr) *got = held + n;
    return ok || held > 0;
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

  // Waits for the first byte with the read time-outs: interval and
  // multiplier all ones with a constant make ReadFile return as soon as one
  // byte is there, or with none after the constant. The port's own time-outs
  // are put back before returning.
  WaitResult WaitForInput(Handle h, uint32_t maxMs) override {
    if (heldBytes.Has(h)) return WaitResult::kInput;
    if (maxMs == 0) return WaitResult::kTimeout;
    COMMTIMEOUTS saved;
    if (!Valid(h) || GetCommTimeouts(Native(h), &saved) == 0) return SleepOnce();
    COMMTIMEOUTS wait = saved;
    wait.ReadIntervalTimeout = MAXDWORD;
    wait.ReadTotalTimeoutMultiplier = MAXDWORD;
    wait.ReadTotalTimeoutConstant = maxMs < MAXDWORD ? maxMs : MAXDWORD - 1;
    const int slot = heldBytes.Reserve(h);
    if (slot < 0) return SleepOnce();
    if (SetCommTimeouts(Native(h), &wait) == 0) {
      heldBytes.Release(slot);
      return SleepOnce();
    }
    unsigned char byte = 0;
    DWORD n = 0;
    const BOOL ok = ReadFile(Native(h), &byte, 1, &n, nullptr);
    SetCommTimeouts(Native(h), &saved);
    if (ok == 0 || n == 0) {
      heldBytes.Release(slot);
      return ok == 0 ? WaitResult::kHangUp : WaitResult::kTimeout;
    }
    heldBytes.Fill(slot, byte);
    return WaitResult::kInput;
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
  // Where the read time-outs cannot be used (not a serial port): the old
  // poll step, one sleep of a millisecond or of the timer's tick.
  static WaitResult SleepOnce() {
    Sleep(1);
    return WaitResult::kInput;  // the caller's next status query tells
  }

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
