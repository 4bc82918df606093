#include "sim/server.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

#include "platform/device_path.h"
#include "sim/line_framer.h"

namespace sim {
namespace {

// The thread looks at its stop flag at least this often.
const uint32_t kIdleWaitMs = 20;
const uint32_t kReadBytes = 512;
// Reads taken in one round before the due answers get their turn again.
const int kReadsPerRound = 64;

struct PendingPiece {
  uint32_t dueTick;
  uint64_t order;  // pieces due at the same tick go out in arrival order
  std::string bytes;
};

}  // namespace

uint64_t ByteTimeNs(const LineSettings& settings) {
  if (settings.baudRate == 0) return 0;
  const uint64_t bits = 1u + settings.dataBits + (settings.parity != 0 ? 1u : 0u) + (settings.stopBits == 2 ? 2u : 1u);
  return bits * 1000000000ull / settings.baudRate;
}

void Server::SetPace(const LineSettings* settings) { byteNs_ = settings != nullptr ? ByteTimeNs(*settings) : 0; }

Server::Server(Bus& bus, platform::SerialApi& api, platform::Clock& clock) : bus_(bus), api_(api), clock_(clock) {}

Server::~Server() { Stop(); }

bool Server::ServePseudoTerminal(std::string* error, const std::string& linkPath) {
  Stop();
  if (!terminal_.Create()) {
    if (error != nullptr) *error = "cannot create a pseudo-terminal: " + terminal_.error();
    return false;
  }
  if (!linkPath.empty() && !terminal_.Link(linkPath)) {
    if (error != nullptr) *error = terminal_.error();
    terminal_.Close();
    return false;
  }
  port_ = api_.Adopt(terminal_.TakeMaster());
  if (port_ == nullptr) {
    if (error != nullptr) *error = "cannot take the pseudo-terminal's master";
    terminal_.Close();
    return false;
  }
  // Bounded writes: a driver that stopped reading must not hold the thread.
  port_->SetWriteLimit(1, 200);
  path_ = linkPath.empty() ? terminal_.slavePath() : linkPath;
  stop_ = false;
  thread_ = std::thread(byteNs_ != 0 ? &Server::RunPaced : &Server::Run, this);
  return true;
}

bool Server::ServeDevice(const std::string& path, const LineSettings& settings, std::string* error) {
  Stop();
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (path.empty()) return fail("no serial device given");
  std::unique_ptr<platform::Port> port = api_.Open(path.c_str()).port;
  if (port == nullptr) {
    if (!platform::DeviceExists(path.c_str())) return fail("serial device \"" + path + "\" does not exist");
    return fail("serial device \"" + path + "\" cannot be opened: another program holds it, or access is denied");
  }
  if (!port->Configure(settings) || !port->SetWriteLimit(2, 1000)) {
    return fail("serial device \"" + path + "\" does not take the line settings (" + std::to_string(settings.baudRate) +
                " baud, " + std::to_string(settings.dataBits) + " data bits)");
  }
  port->Discard(platform::Queue::kBoth);
  port_ = std::move(port);
  path_ = path;
  stop_ = false;
  thread_ = std::thread(byteNs_ != 0 ? &Server::RunPaced : &Server::Run, this);
  return true;
}

void Server::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    thread_.join();
  }
  port_.reset();
  terminal_.Close();
}

std::string Server::lineError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lineError_;
}

void Server::NoteError(const char* what) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  lineError_ = what;
}

void Server::Run() {
  LineFramer framer;
  std::vector<PendingPiece> pending;
  std::vector<std::string> lines;
  uint64_t order = 0;
  char buffer[kReadBytes];
  auto noteError = [this](const char* what) { NoteError(what); };

  while (!stop_) {
    // Answers whose time has come, earliest first.
    uint32_t now = clock_.TickMs();
    std::sort(pending.begin(), pending.end(), [](const PendingPiece& a, const PendingPiece& b) {
      const int32_t d = static_cast<int32_t>(a.dueTick - b.dueTick);
      return d != 0 ? d < 0 : a.order < b.order;
    });
    size_t sent = 0;
    while (sent < pending.size() && !platform::TickAfter(pending[sent].dueTick, now)) {
      const std::string& bytes = pending[sent].bytes;
      uint32_t written = 0;
      if (!bytes.empty() && !port_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written))
        noteError("write failed");
      bytesOut_ += written;
      ++sent;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));

    now = clock_.TickMs();
    uint32_t wait = kIdleWaitMs;
    if (!pending.empty()) wait = std::min(wait, platform::TickRemaining(now, pending.front().dueTick));
    if (wait > 0) port_->Wait(wait);

    for (int round = 0; round < kReadsPerRound && !stop_; ++round) {
      uint32_t got = 0;
      if (!port_->Read(buffer, kReadBytes, &got)) {
        noteError("read failed");
        clock_.SleepMs(1);
        break;
      }
      if (got == 0) break;
      bytesIn_ += got;
      lines.clear();
      framer.Feed(buffer, got, &lines);
      const uint32_t received = clock_.TickMs();
      for (const std::string& line : lines) {
        const Reply reply = bus_.Handle(line);
        uint32_t due = received;
        for (const Piece& piece : reply.pieces) {
          due += piece.afterMs;
          pending.push_back(PendingPiece{due, order++, piece.bytes});
        }
      }
      if (!lines.empty()) break;  // answer at once, read the rest afterwards
    }
  }
}

// The same service on a wire's time. Times are kept in nanoseconds of the
// steady clock, because a byte at 115200 baud lasts 87 us, well below the
// millisecond tick. Bytes written late (the thread woke late) keep the
// times they should have had, so lateness never adds up over an answer.
void Server::RunPaced() {
  using SteadyClock = std::chrono::steady_clock;
  using TimePoint = SteadyClock::time_point;
  struct DuePiece {
    TimePoint due;
    uint64_t order;
    std::string bytes;
  };
  struct DueByte {
    TimePoint due;
    char byte;
  };
  const std::chrono::nanoseconds byteTime(byteNs_);
  LineFramer framer;
  std::vector<DuePiece> pieces;
  std::deque<DueByte> out;  // in the order, and so at the times, they leave
  std::vector<std::string> lines;
  std::string burst;
  uint64_t order = 0;
  TimePoint inFree = SteadyClock::now();   // the last command byte's frame ends
  TimePoint outFree = SteadyClock::now();  // the last answer byte's frame ends
  char buffer[kReadBytes];

  while (!stop_) {
    TimePoint now = SteadyClock::now();
    // Pieces whose pause is over go onto the wire behind what is already on it.
    std::sort(pieces.begin(), pieces.end(),
              [](const DuePiece& a, const DuePiece& b) { return a.due != b.due ? a.due < b.due : a.order < b.order; });
    size_t started = 0;
    for (; started < pieces.size() && pieces[started].due <= now; ++started) {
      TimePoint at = std::max(pieces[started].due, outFree);
      for (char c : pieces[started].bytes) {
        at += byteTime;
        out.push_back(DueByte{at, c});
      }
      outFree = at;
    }
    pieces.erase(pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(started));

    // Every byte whose frame has ended, in one write.
    burst.clear();
    while (!out.empty() && out.front().due <= now) {
      burst.push_back(out.front().byte);
      out.pop_front();
    }
    if (!burst.empty()) {
      uint32_t written = 0;
      if (!port_->Write(burst.data(), static_cast<uint32_t>(burst.size()), &written)) NoteError("write failed");
      bytesOut_ += written;
    }

    // Sleep until the next byte or piece is due; a wait of a millisecond or
    // more also ends when a command arrives.
    TimePoint next = now + std::chrono::milliseconds(kIdleWaitMs);
    if (!out.empty()) next = std::min(next, out.front().due);
    if (!pieces.empty()) next = std::min(next, pieces.front().due);
    now = SteadyClock::now();
    if (next > now) {
      const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
      if (waitMs >= 1)
        port_->Wait(static_cast<uint32_t>(waitMs));
      else
        std::this_thread::sleep_until(next);
    }

    for (int round = 0; round < kReadsPerRound && !stop_; ++round) {
      uint32_t got = 0;
      if (!port_->Read(buffer, kReadBytes, &got)) {
        NoteError("read failed");
        clock_.SleepMs(1);
        break;
      }
      if (got == 0) break;
      bytesIn_ += got;
      // Each byte arrives one frame after the one before it, and no earlier
      // than one frame after it was read.
      const TimePoint readAt = SteadyClock::now();
      for (uint32_t i = 0; i < got; ++i) {
        inFree = std::max(inFree, readAt) + byteTime;
        lines.clear();
        framer.Feed(buffer + i, 1, &lines);
        for (const std::string& line : lines) {
          const Reply reply = bus_.Handle(line);
          TimePoint due = inFree;
          for (const Piece& piece : reply.pieces) {
            due += std::chrono::milliseconds(piece.afterMs);
            pieces.push_back(DuePiece{due, order++, piece.bytes});
          }
        }
      }
    }
  }
}

}  // namespace sim
