#include "support/fake_serial.h"

#include <algorithm>

namespace testsupport {
namespace {

// A port of the in-memory line: each call goes to the line with its handle,
// and letting go of it closes the handle.
class FakePort final : public platform::Port {
 public:
  FakePort(FakeSerial& line, platform::Handle h) : line_(line), h_(h) {}
  ~FakePort() override { line_.Close(h_); }
  platform::Handle handle() const override { return h_; }
  bool Configure(const platform::LineSettings& s) override { return line_.Configure(h_, s); }
  bool Settings(platform::LineSettings* s) override { return line_.Settings(h_, s); }
  bool SetWriteLimit(uint32_t perByte, uint32_t extra) override { return line_.SetWriteLimit(h_, perByte, extra); }
  bool SetDirection(platform::Direction d) override { return line_.SetDirection(h_, d); }
  bool Discard(platform::Queue q) override { return line_.Discard(h_, q); }
  bool Drain(uint32_t maxMs) override { return line_.Drain(h_, maxMs); }
  bool Read(void* bytes, uint32_t count, uint32_t* got) override { return line_.Read(h_, bytes, count, got); }
  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    return line_.Write(h_, bytes, count, written);
  }
  platform::WaitResult Wait(uint32_t maxMs) override { return line_.Wait(h_, maxMs); }

 private:
  FakeSerial& line_;
  const platform::Handle h_;
};

}  // namespace

void VirtualClock::SleepMs(uint32_t ms) {
  sleeps.push_back(ms);
  now_ += ms;
}

FakeSerial::FakeSerial(VirtualClock& clock) : clock_(clock) {}

void FakeSerial::Inject(uint32_t delayMs, const std::string& bytes) {
  Pending p{clock_.TickMs() + delayMs, bytes};
  // Keep arrival order; equal times keep the order they were scheduled in.
  auto at =
      std::find_if(pending_.begin(), pending_.end(), [&](const Pending& q) { return platform::TickAfter(q.at, p.at); });
  pending_.insert(at, p);
}

void FakeSerial::AddPort(const std::string& path) { ports_.insert(path); }
void FakeSerial::RemovePort(const std::string& path) { ports_.erase(path); }

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

platform::Opened FakeSerial::Open(const char* path) {
  platform::Opened opened;
  const platform::Handle h = OpenHandle(path);
  opened.error = lastOpenError_;
  if (h != platform::kNoHandle) opened.port.reset(new FakePort(*this, h));
  return opened;
}

std::unique_ptr<platform::Port> FakeSerial::Adopt(platform::Handle h) {
  if (h == platform::kNoHandle) return nullptr;
  return std::unique_ptr<platform::Port>(new FakePort(*this, h));
}

platform::Handle FakeSerial::OpenHandle(const char* path) {
  lastOpenError_ = platform::OpenError::kMissing;
  if (path == nullptr) return platform::kNoHandle;
  log.push_back(std::string("open ") + path);
  const std::string key(path);
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

bool FakeSerial::Configure(platform::Handle h, const platform::LineSettings& settings) {
  if (!Known(h)) return false;
  log.push_back("configure " + std::to_string(settings.baudRate) + " " + std::to_string(settings.dataBits) + " " +
                std::to_string(settings.parity) + " " + std::to_string(settings.stopBits));
  if (failSetState) return false;
  lastSettings = settings;
  return true;
}

bool FakeSerial::Settings(platform::Handle h, platform::LineSettings* settings) {
  if (!Known(h) || settings == nullptr) return false;
  *settings = lastSettings;
  return true;
}

bool FakeSerial::SetWriteLimit(platform::Handle h, uint32_t msPerByte, uint32_t extraMs) {
  if (!Known(h)) return false;
  log.push_back("limit " + std::to_string(msPerByte) + " " + std::to_string(extraMs));
  return true;
}

bool FakeSerial::SetDirection(platform::Handle h, platform::Direction direction) {
  if (!Known(h) || hungUp) return false;
  transmitting = direction == platform::Direction::kTransmit;
  log.push_back(transmitting ? "transmit" : "receive");
  return true;
}

bool FakeSerial::Discard(platform::Handle h, platform::Queue queue) {
  if (!Known(h)) return false;
  static const char* const kNames[] = {"discard input", "discard output", "discard both"};
  log.push_back(kNames[static_cast<int>(queue)]);
  if (queue != platform::Queue::kOutput) {
    Deliver();  // what has arrived is dropped; what is still on its way is not
    input_.clear();
  }
  if (queue != platform::Queue::kInput) drainUntil_ = clock_.TickMs();
  return true;
}

bool FakeSerial::Drain(platform::Handle h, uint32_t maxMs) {
  if (!Known(h) || hungUp) return false;
  log.push_back("drain");
  const uint32_t left = platform::TickRemaining(clock_.TickMs(), drainUntil_);
  if (left == 0) return true;
  if (left > maxMs) {
    clock_.SleepMs(maxMs + 1);  // past the bound, still sending
    return false;
  }
  clock_.SleepMs(left);
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
  drainUntil_ = clock_.TickMs() + drainMs;
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

platform::WaitResult FakeSerial::Wait(platform::Handle h, uint32_t maxMs) {
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
