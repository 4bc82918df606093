#include "support/fake_serial.h"

#include <algorithm>

namespace testsupport {
namespace {

// Windows device prefixes and the trailing colon of the embedded platform's
// device names are spellings of the same port.
std::string PortKey(const char* path) {
  std::string key(path);
  if (key.compare(0, 4, "\\\\.\\") == 0 || key.compare(0, 4, "//./") == 0) key.erase(0, 4);
  if (!key.empty() && key.back() == ':') key.pop_back();
  return key;
}

// A port of the in-memory line: each call goes to the line with its handle,
// and letting go of it closes the handle.
class FakePort final : public platform::Port {
 public:
  FakePort(FakeSerial& line, platform::Handle h) : line_(line), h_(h) {}
  ~FakePort() override { line_.Close(h_); }
  platform::Handle handle() const override { return h_; }
  bool SetupQueues(uint32_t in, uint32_t out) override { return line_.SetupQueues(h_, in, out); }
  bool GetState(platform::CommState* state) override { return line_.GetState(h_, state); }
  bool SetState(const platform::CommState& state) override { return line_.SetState(h_, state); }
  bool SetEventMask(uint32_t mask) override { return line_.SetEventMask(h_, mask); }
  bool SetTimeouts(const platform::CommTimeouts& t) override { return line_.SetTimeouts(h_, t); }
  bool SetRts(bool raised) override { return line_.SetRts(h_, raised); }
  bool Purge(uint32_t flags) override { return line_.Purge(h_, flags); }
  bool Status(platform::CommStatus* status) override { return line_.Status(h_, status); }
  bool Read(void* bytes, uint32_t count, uint32_t* got) override { return line_.Read(h_, bytes, count, got); }
  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    return line_.Write(h_, bytes, count, written);
  }
  platform::WaitResult WaitForInput(uint32_t maxMs) override { return line_.WaitForInput(h_, maxMs); }

 private:
  FakeSerial& line_;
  const platform::Handle h_;
};

}  // namespace

void VirtualClock::SleepMs(uint32_t ms) {
  sleeps.push_back(ms);
  now_ += ms;
}

FakeSerial::FakeSerial(VirtualClock& clock) : clock_(clock) { lastState.baudRate = 9600; }

void FakeSerial::Inject(uint32_t delayMs, const std::string& bytes) {
  Pending p{clock_.TickMs() + delayMs, bytes};
  // Keep arrival order; equal times keep the order they were scheduled in.
  auto at = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Pending& q) { return platform::TickAfter(q.at, p.at); });
  pending_.insert(at, p);
}

void FakeSerial::AddPort(const std::string& path) { ports_.insert(PortKey(path.c_str())); }
void FakeSerial::RemovePort(const std::string& path) { ports_.erase(PortKey(path.c_str())); }

size_t FakeSerial::InputWaiting() const {
  size_t n = input_.size();
  const uint32_t now = clock_.TickMs();
  for (const Pending& p : pending_) {
    if (platform::TickAfter(p.at, now)) break;
    n += p.bytes.size();
  }
  return n;
}

bool FakeSerial::Known(platform::Handle h) {
  if (openHandles.count(h) != 0) return true;
  ++callsOnClosedHandles;
  return false;
}

void FakeSerial::Deliver() {
  const uint32_t now = clock_.TickMs();
  while (!pending_.empty() && !platform::TickAfter(pending_.front().at, now)) {
    input_ += pending_.front().bytes;
    pending_.pop_front();
  }
}

platform::OpenError FakeSerial::LastOpenError() { return lastOpenError_; }

std::unique_ptr<platform::Port> FakeSerial::Open(const char* path) {
  const platform::Handle h = OpenHandle(path);
  if (h == platform::kNoHandle) return nullptr;
  return std::unique_ptr<platform::Port>(new FakePort(*this, h));
}

std::unique_ptr<platform::Port> FakeSerial::Adopt(platform::Handle h) {
  if (h == platform::kNoHandle) return nullptr;
  return std::unique_ptr<platform::Port>(new FakePort(*this, h));
}

platform::Handle FakeSerial::OpenHandle(const char* path) {
  lastOpenError_ = platform::OpenError::kMissing;
  if (path == nullptr) return platform::kNoHandle;
  log.push_back(std::string("open ") + path);
  const std::string key = PortKey(path);
  if (ports_.count(key) == 0) return platform::kNoHandle;
  for (const auto& held : pathOf_) {
    if (held.second == key) {
      lastOpenError_ = platform::OpenError::kBusy;
      return platform::kNoHandle;
    }
  }
  lastOpenError_ = platform::OpenError::kNone;
  const platform::Handle h = nextHandle_++;
  pathOf_[h] = key;
  openHandles.insert(h);
  lastOpened = h;
  return h;
}

bool FakeSerial::Close(platform::Handle h) {
  if (openHandles.count(h) == 0) {
    if (std::find(closed.begin(), closed.end(), h) != closed.end()) ++doubleCloses;
    return false;
  }
  log.push_back("close " + std::to_string(h));
  openHandles.erase(h);
  pathOf_.erase(h);
  closed.push_back(h);
  return true;
}

bool FakeSerial::SetupQueues(platform::Handle h, uint32_t inBytes, uint32_t outBytes) {
  if (!Known(h)) return false;
  log.push_back("setup " + std::to_string(inBytes) + " " + std::to_string(outBytes));
  return true;
}

bool FakeSerial::GetState(platform::Handle h, platform::CommState* state) {
  if (!Known(h) || state == nullptr) return false;
  *state = lastState;
  return true;
}

bool FakeSerial::SetState(platform::Handle h, const platform::CommState& state) {
  if (!Known(h)) return false;
  log.push_back("state " + std::to_string(state.baudRate) + " " + std::to_string(state.byteSize) + " " +
                std::to_string(state.parity) + " " + std::to_string(state.stopBits));
  if (failSetState) return false;
  lastState = state;
  return true;
}

bool FakeSerial::SetEventMask(platform::Handle h, uint32_t mask) {
  if (!Known(h)) return false;
  log.push_back("mask " + std::to_string(mask));
  return true;
}

bool FakeSerial::SetTimeouts(platform::Handle h, const platform::CommTimeouts& t) {
  if (!Known(h)) return false;
  log.push_back("timeouts " + std::to_string(t.readInterval) + " " + std::to_string(t.readTotalMultiplier) + " " +
                std::to_string(t.readTotalConstant) + " " + std::to_string(t.writeTotalMultiplier) + " " +
                std::to_string(t.writeTotalConstant));
  lastTimeouts = t;
  return true;
}

bool FakeSerial::SetRts(platform::Handle h, bool raised) {
  if (!Known(h) || hungUp) return false;
  rts = raised;
  log.push_back(raised ? "rts 1" : "rts 0");
  return true;
}

bool FakeSerial::Purge(platform::Handle h, uint32_t flags) {
  if (!Known(h)) return false;
  log.push_back("purge " + std::to_string(flags));
  if (flags & (platform::kPurgeRxAbort | platform::kPurgeRxClear)) {
    Deliver();  // what has arrived is dropped; what is still on its way is not
    input_.clear();
  }
  if (flags & (platform::kPurgeTxAbort | platform::kPurgeTxClear)) {
    outCount_ = 0;
    drainUntil_ = clock_.TickMs();
  }
  return true;
}

bool FakeSerial::Status(platform::Handle h, platform::CommStatus* status) {
  if (!Known(h) || status == nullptr || hungUp) return false;
  Deliver();
  status->inQueue = static_cast<uint32_t>(input_.size());
  const bool draining = platform::TickAfter(drainUntil_, clock_.TickMs());
  status->outQueue = draining ? std::max<uint32_t>(outCount_, 1) : 0;
  if (draining)
    clock_.Advance(1);
  else
    outCount_ = 0;
  return true;
}

bool FakeSerial::Read(platform::Handle h, void* bytes, uint32_t count, uint32_t* got) {
  if (got != nullptr) *got = 0;
  if (!Known(h) || failReads || hungUp) return false;
  Deliver();
  const size_t n = std::min<size_t>(count, input_.size());
  if (n > 0 && bytes != nullptr) std::copy(input_.begin(), input_.begin() + n, static_cast<char*>(bytes));
  input_.erase(0, n);
  if (got != nullptr) *got = static_cast<uint32_t>(n);
  log.push_back("read " + std::to_string(n));
  return true;
}

bool FakeSerial::Write(platform::Handle h, const void* bytes, uint32_t count, uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (!Known(h) || failWrites || hungUp) return false;
  if (failNextWrites > 0) {
    --failNextWrites;
    return false;
  }
  const std::string data(static_cast<const char*>(bytes), count);
  writes.push_back(data);
  log.push_back("write " + data);
  const uint32_t now = clock_.TickMs();
  outCount_ = count;
  drainUntil_ = now + drainMs;
  if (written != nullptr) *written = count;
  if (responder) {
    uint32_t delay = 0;
    for (const Chunk& c : responder(data)) {
      delay += c.delayMs;
      Inject(delay, c.bytes);
    }
  }
  return true;
}

platform::WaitResult FakeSerial::WaitForInput(platform::Handle h, uint32_t maxMs) {
  waits.push_back(maxMs);
  if (!Known(h) || hungUp) return platform::WaitResult::kHangUp;
  // Input already waiting wakes the wait at once, as poll does.
  if (InputWaiting() > 0) return platform::WaitResult::kInput;
  if (maxMs == 0) return platform::WaitResult::kTimeout;
  uint32_t step = maxMs;
  if (!pending_.empty()) {
    const uint32_t untilNext = platform::TickRemaining(clock_.TickMs(), pending_.front().at);
    step = std::min(step, untilNext);
  }
  clock_.Advance(std::max<uint32_t>(step, 1));
  return InputWaiting() > 0 ? platform::WaitResult::kInput : platform::WaitResult::kTimeout;
}

}  // namespace testsupport
