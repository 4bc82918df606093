#include "sim/tcp_relay.h"

#include "platform/serial_api.h"

namespace sim {
namespace {

// The threads look at the stop flag at least this often.
const uint32_t kWakeMs = 50;
const uint32_t kChunk = 512;

}  // namespace

TcpRelay::~TcpRelay() { Stop(); }

bool TcpRelay::Start(const std::string& linePath, const std::string& bindAddress, uint16_t port, std::string* error) {
  Stop();
  listener_ = platform::net::Listen(bindAddress.c_str(), port, error);
  if (listener_ == platform::net::kNoSocket) return false;
  linePath_ = linePath;
  stop_ = false;
  thread_ = std::thread(&TcpRelay::Run, this);
  return true;
}

void TcpRelay::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    thread_.join();
  }
  platform::net::CloseSocket(listener_);
  listener_ = platform::net::kNoSocket;
  platform::net::CloseSocket(pending_);
  pending_ = platform::net::kNoSocket;
}

void TcpRelay::Run() {
  while (!stop_) {
    platform::net::Socket client = pending_;
    pending_ = platform::net::kNoSocket;
    if (client == platform::net::kNoSocket) client = platform::net::Accept(listener_, kWakeMs);
    if (client == platform::net::kNoSocket) continue;
    Serve(client);
    platform::net::CloseSocket(client);
  }
}

// One client at a time: a second one is told so and closed, rather than
// left waiting in the listener's queue with nobody answering.
// A client that comes while the current one is closing (a driver that
// connects again) is kept for the next turn: it is turned away only once
// the current client has shown itself alive after it came.
void TcpRelay::TurnAwayOthers(platform::net::Socket client) {
  if (pending_ == platform::net::kNoSocket) {
    pending_ = platform::net::Accept(listener_, 0);
    return;
  }
  if (platform::net::WaitReadable(client, 0) != platform::net::Readiness::kTimeout) return;
  static const char kTaken[] = "velksim: the line is taken by another client\r\n";
  platform::net::SendAll(pending_, kTaken, sizeof kTaken - 1, 200);
  platform::net::CloseSocket(pending_);
  pending_ = platform::net::kNoSocket;
}

// Two directions, each blocked on its own source, so that neither adds a
// polling delay to the other.
void TcpRelay::Serve(platform::net::Socket client) {
  platform::SerialApi& api = platform::DeviceSerialApi();
  const std::unique_ptr<platform::Port> line = api.Open(linePath_.c_str()).port;
  if (line == nullptr) return;
  line->Configure(platform::LineSettings());  // raw bytes; a pseudo-terminal has no baud rate
  std::atomic<bool> done{false};

  std::thread toClient([&] {
    char bytes[kChunk];
    while (!stop_ && !done) {
      if (line->Wait(kWakeMs) == platform::WaitResult::kTimeout) continue;
      uint32_t got = 0;
      if (!line->Read(bytes, sizeof bytes, &got)) break;
      if (got > 0 && !platform::net::SendAll(client, bytes, got, 1000)) break;
    }
    done = true;
  });
  char bytes[kChunk];
  while (!stop_ && !done) {
    const platform::net::Readiness ready = platform::net::WaitReadable(client, kWakeMs);
    if (ready == platform::net::Readiness::kTimeout) {
      TurnAwayOthers(client);
      continue;
    }
    uint32_t got = 0;
    if (ready == platform::net::Readiness::kFailed ||
        platform::net::Receive(client, bytes, sizeof bytes, &got) == platform::net::ReceiveResult::kClosed)
      break;
    uint32_t written = 0;
    if (got > 0) line->Write(bytes, got, &written);
  }
  done = true;
  toClient.join();
}

}  // namespace sim
