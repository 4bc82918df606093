// Test doubles for the operating system under the line logic: a virtual
// millisecond clock and an in-memory serial line whose far end is a
// scripted module. Time only moves when the code under test sleeps or waits,
// so timing is exact and tests run instantly.
#ifndef VELK_TESTS_SUPPORT_FAKE_SERIAL_H
#define VELK_TESTS_SUPPORT_FAKE_SERIAL_H

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_api.h"

namespace testsupport {

class VirtualClock final : public platform::Clock {
 public:
  explicit VirtualClock(uint32_t start = 1000) : now_(start) {}
  uint32_t TickMs() override { return now_; }
  void SleepMs(uint32_t ms) override;
  void Advance(uint32_t ms) { now_ += ms; }
  void Set(uint32_t tick) { now_ = tick; }

  // Every sleep the code under test asked for, in order.
  std::vector<uint32_t> sleeps;

 private:
  uint32_t now_;
};

// One piece of a module's answer: it arrives `delayMs` after the previous
// piece (the first one: after the command was written).
struct Chunk {
  uint32_t delayMs;
  std::string bytes;
};

class FakeSerial final : public platform::SerialApi {
 public:
  explicit FakeSerial(VirtualClock& clock);

  // --- The far end ----------------------------------------------------
  // Called with the bytes of every successful write; returns the answer
  // pieces the module sends back. Unset: the module is silent.
  std::function<std::vector<Chunk>(const std::string& written)> responder;
  // Bytes that arrive `delayMs` from now without a command (a late answer,
  // line noise).
  void Inject(uint32_t delayMs, const std::string& bytes);

  // --- The ports ------------------------------------------------------
  // Only added paths open; a path held open cannot be opened again.
  void AddPort(const std::string& path);
  // The device is gone: it opens no more (handles held stay as they are).
  void RemovePort(const std::string& path);
  // Handle of the port last opened, or kNoHandle.
  platform::Handle lastOpened = platform::kNoHandle;
  // Handles currently open, and every handle ever closed (a second close of
  // one handle is recorded in doubleCloses).
  std::set<platform::Handle> openHandles;
  std::vector<platform::Handle> closed;
  int doubleCloses = 0;
  // Calls made on a handle that was not open.
  int callsOnClosedHandles = 0;

  // --- Faults -----------------------------------------------------------
  bool failWrites = false;
  // This many of the next writes are refused, then writes work again.
  int failNextWrites = 0;
  bool failReads = false;
  bool failSetState = false;
  // The device went away: every call on an open handle fails as a hung-up
  // port's do, and waits report the hang-up at once.
  bool hungUp = false;
  // After a write the output takes this long to leave the wire; a drain
  // sleeps until then, or fails after its bound.
  uint32_t drainMs = 0;

  // --- What the code under test did -----------------------------------
  // One entry per call, e.g. "open COM1", "configure 9600 8 0 1",
  // "transmit", "receive", "discard input", "discard output", "discard both",
  // "drain", "limit 100 0", "write $01M\r", "read 5", "close 3". Settings
  // and Wait are not logged; a refused Configure is logged all the same.
  std::vector<std::string> log;
  std::vector<std::string> writes;
  platform::LineSettings lastSettings;
  bool transmitting = false;
  // The maxMs of every Wait call, in order.
  std::vector<uint32_t> waits;

  // Bytes received and not yet read, as the driver would see them now.
  size_t InputWaiting() const;

  // platform::SerialApi: ports that call the handle-level operations below.
  platform::Opened Open(const char* path) override;
  std::unique_ptr<platform::Port> Adopt(platform::Handle h) override;

  // The device itself, by handle: what a test opens to hand over, and what
  // the ports call.
  platform::Handle OpenHandle(const char* path);
  bool Close(platform::Handle h);
  bool Configure(platform::Handle h, const platform::LineSettings& settings);
  bool Settings(platform::Handle h, platform::LineSettings* settings);
  bool SetWriteLimit(platform::Handle h, uint32_t msPerByte, uint32_t extraMs);
  bool SetDirection(platform::Handle h, platform::Direction direction);
  bool Discard(platform::Handle h, platform::Queue queue);
  bool Drain(platform::Handle h, uint32_t maxMs);
  bool Read(platform::Handle h, void* bytes, uint32_t count, uint32_t* got);
  bool Write(platform::Handle h, const void* bytes, uint32_t count, uint32_t* written);
  platform::WaitResult Wait(platform::Handle h, uint32_t maxMs);

 private:
  struct Pending {
    uint32_t at;  // tick at which the bytes arrive
    std::string bytes;
  };
  bool Known(platform::Handle h);
  void Deliver();  // moves arrived bytes into the input queue

  VirtualClock& clock_;
  std::set<std::string> ports_;
  std::map<platform::Handle, std::string> pathOf_;
  platform::Handle nextHandle_ = 3;
  std::deque<Pending> pending_;
  std::string input_;
  uint32_t drainUntil_ = 0;
  platform::OpenError lastOpenError_ = platform::OpenError::kNone;
};

}  // namespace testsupport

#endif
