// Network lines: each port holds its socket, a decoded input buffer
// (allocated at opening, so no packet allocates), and the COM Port commands
// of RFC 2217 with their answers awaited within a bound.
#include "platform/net_line.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "platform/clock.h"
#include "platform/line_timing.h"
#include "platform/net_socket.h"
#include "platform/telnet_codec.h"

namespace platform {
namespace {

const char kRawPrefix[] = "tcp:";
const char kTelnetPrefix[] = "rfc2217:";

// More than the line ever asks for at once (its reads take at most 500
// bytes, the device's input queue is 1024).
const uint32_t kInputBytes = 4096;
const uint32_t kReceiveChunk = 512;

const char* StripDevicePrefix(const char* name) {
  if (strncmp(name, "\\\\.\\", 4) == 0 || strncmp(name, "//./", 4) == 0) return name + 4;
  return name;
}

OpenError OpenErrorOf(net::ConnectResult result) {
  switch (result) {
    case net::ConnectResult::kConnected: return OpenError::kNone;
    // Nobody serves that port or the name is unknown: as a device that is
    // not there.
    case net::ConnectResult::kRefused:
    case net::ConnectResult::kUnknownHost: return OpenError::kMissing;
    default: return OpenError::kOther;
  }
}

// One network line: its connection, settings and decoded input. The socket
// is closed once, with the object.
class NetPort final : public Port {
 public:
  NetPort(const NetPortName& name, uint32_t connectTimeoutMs)
      : name_(name), connectTimeoutMs_(connectTimeoutMs == 0 ? 1 : connectTimeoutMs) {}
  ~NetPort() override { net::CloseSocket(socket_); }

  net::ConnectResult Connect() {
    const net::ConnectResult result = net::Connect(name_.host, name_.port, connectTimeoutMs_, &socket_);
    if (result != net::ConnectResult::kConnected) return result;
    alive_ = true;
    begin_ = end_ = 0;
    session_ = telnet::Session();
    if (name_.rfc2217) {
      uint8_t greeting[telnet::Session::kGreetingBytes];
      const size_t length = session_.Greeting(greeting);
      if (!net::SendAll(socket_, greeting, static_cast<uint32_t>(length), connectTimeoutMs_)) {
        Lose();
        return net::ConnectResult::kOther;
      }
    }
    return result;
  }

  Handle handle() const override { return kNoHandle; }

  bool Configure(const LineSettings& settings) override {
    uint8_t parity = 0, stop = 0;
    if (settings.baudRate == 0 || settings.dataBits < 5 || settings.dataBits > 8 ||
        !telnet::ParityToWire(settings.parity, &parity) || !telnet::StopBitsToWire(settings.stopBits, &stop))
      return false;
    if (name_.rfc2217 && !ApplySettings(settings)) return false;
    settings_ = settings;
    configured_ = true;
    return true;
  }

  bool Settings(LineSettings* settings) override {
    if (settings == nullptr) return false;
    // Before any setting, the usual defaults of a fresh port.
    *settings = configured_ ? settings_ : LineSettings();
    return true;
  }

  bool SetWriteLimit(uint32_t msPerByte, uint32_t extraMs) override {
    writeMsPerByte_ = msPerByte;
    writeExtraMs_ = extraMs;
    return true;
  }

  bool SetDirection(Direction direction) override {
    transmitting_ = direction == Direction::kTransmit;
    directionSet_ = true;
    if (!name_.rfc2217) return true;
    if (!alive_) return false;
    // Not awaited: the server switches its own RS-485 driver, so the timing
    // of our RTS means nothing on its wire, and a server port without modem
    // lines (a pseudo-terminal) never answers. Waiting would cost a round
    // trip twice per packet for nothing; the answer is taken when it comes.
    const uint8_t value = transmitting_ ? telnet::kControlRtsOn : telnet::kControlRtsOff;
    return SendCommand(telnet::kSetControl, &value, 1);
  }

  bool Discard(Queue queue) override {
    const bool rx = queue != Queue::kOutput;
    const bool tx = queue != Queue::kInput;
    if (rx) {
      // What already arrived is dropped with what the server still holds.
      Pump();
      begin_ = end_ = 0;
    }
    if (!name_.rfc2217) return true;
    if (!alive_) return false;
    const uint8_t value = rx && tx ? telnet::kPurgeBoth : rx ? telnet::kPurgeReceive : telnet::kPurgeTransmit;
    const uint32_t before = session_.Answer(telnet::kPurgeData).sequence;
    if (!SendCommand(telnet::kPurgeData, &value, 1)) return false;
    const uint8_t codes[] = {telnet::kPurgeData};
    const uint32_t sequences[] = {before};
    if (!AwaitAnswers(codes, sequences, 1)) return false;
    if (rx) begin_ = end_ = 0;
    return true;
  }

  bool Drain(uint32_t maxMs) override {
    // The socket's send queue: what the server has not taken yet.
    return DrainQueue(SystemClock(), CharTimeUs(settings_), maxMs, [this](uint32_t* bytes) {
      if (!alive_) return false;
      *bytes = net::UnsentBytes(socket_);
      return true;
    });
  }

  bool Read(void* bytes, uint32_t count, uint32_t* got) override {
    if (got != nullptr) *got = 0;
    if (bytes == nullptr && count > 0) return false;
    Pump();
    const uint32_t waiting = end_ - begin_;
    if (waiting == 0) return alive_;
    const uint32_t n = count < waiting ? count : waiting;
    memcpy(bytes, input_ + begin_, n);
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
    if (got != nullptr) *got = n;
    return true;
  }

  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (bytes == nullptr && count > 0) return false;
    // A line whose server went away is connected again here, at the next
    // packet, with the settings it had. A close that arrived since the last
    // look is taken in first, so that the command is not sent into it.
    Pump();
    if (!alive_ && !Reconnect()) return false;
    const uint32_t limitMs = WriteLimitMs(count);
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    bool sent = true;
    if (!name_.rfc2217) {
      sent = net::SendAll(socket_, next, count, limitMs);
    } else {
      const uint32_t deadline = SystemClock().TickMs() + limitMs;
      uint8_t escaped[2 * 256];
      for (uint32_t done = 0; sent && done < count;) {
        const uint32_t n = count - done < 256 ? count - done : 256;
        const size_t length = telnet::EscapeData(next + done, n, session_.sendBinary(), escaped);
        sent = net::SendAll(socket_, escaped, static_cast<uint32_t>(length),
                            TickRemaining(SystemClock().TickMs(), deadline));
        done += n;
      }
    }
    if (!sent) {
      Lose();
      return false;
    }
    if (written != nullptr) *written = count;
    return true;
  }

  WaitResult Wait(uint32_t maxMs) override {
    Clock& clock = SystemClock();
    const uint32_t deadline = clock.TickMs() + maxMs;
    for (;;) {
      Pump();
      if (end_ > begin_) return WaitResult::kInput;
      if (!alive_) {
        // Paced like a hung-up device: a caller that waits on regardless
        // must not spin.
        clock.SleepMs(1);
        return WaitResult::kHangUp;
      }
      const uint32_t left = TickRemaining(clock.TickMs(), deadline);
      if (left == 0) return WaitResult::kTimeout;
      // Woken by negotiation or an answer alone, it waits on for data.
      if (net::WaitReadable(socket_, left) == net::Readiness::kTimeout) return WaitResult::kTimeout;
    }
  }

 private:
  void Lose() {
    alive_ = false;
    net::CloseSocket(socket_);
    socket_ = net::kNoSocket;
  }

  bool Reconnect() {
    net::CloseSocket(socket_);
    socket_ = net::kNoSocket;
    if (Connect() != net::ConnectResult::kConnected) return false;
    if (!name_.rfc2217) return true;
    if (configured_ && !ApplySettings(settings_)) {
      Lose();
      return false;
    }
    if (directionSet_) {
      const uint8_t value = transmitting_ ? telnet::kControlRtsOn : telnet::kControlRtsOff;
      SendCommand(telnet::kSetControl, &value, 1);
    }
    return true;
  }

  // Takes in what the socket holds, as far as the buffer has room, and
  // answers the server's negotiation. Notices a closed connection.
  void Pump() {
    while (alive_) {
      if (begin_ > 0 && end_ == kInputBytes) {
        memmove(input_, input_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      if (end_ - begin_ == kInputBytes) {
        // Nobody reads and the buffer is full: the oldest bytes are lost, as
        // in a UART's overrun, so that a server answer behind them still
        // gets through and no wait spins on a socket it cannot drain.
        begin_ = end_ = 0;
      }
      const uint32_t room = kInputBytes - end_;
      const uint32_t want = room < kReceiveChunk ? room : kReceiveChunk;
      uint32_t got = 0;
      net::ReceiveResult result;
      if (!name_.rfc2217) {
        result = net::Receive(socket_, input_ + end_, want, &got);
        end_ += got;
      } else {
        uint8_t raw[kReceiveChunk];
        result = net::Receive(socket_, raw, want, &got);
        // Decoding never lengthens: `got` bytes fit in `room`.
        end_ += static_cast<uint32_t>(session_.Decode(raw, got, input_ + end_));
        const uint8_t* replies = nullptr;
        const size_t length = session_.PendingReplies(&replies);
        if (length > 0) {
          const bool sent = net::SendAll(socket_, replies, static_cast<uint32_t>(length), connectTimeoutMs_);
          session_.ClearReplies();
          if (!sent) result = net::ReceiveResult::kClosed;
        }
      }
      if (result == net::ReceiveResult::kClosed) Lose();
      if (result != net::ReceiveResult::kData) return;
    }
  }

  bool SendCommand(uint8_t code, const uint8_t* value, size_t length) {
    uint8_t bytes[telnet::kMaxCommandBytes];
    const size_t n = telnet::EncodeComPortCommand(code, value, length, bytes);
    if (net::SendAll(socket_, bytes, static_cast<uint32_t>(n), connectTimeoutMs_)) return true;
    Lose();
    return false;
  }

  // Waits until every code has a newer answer than its sequence number.
  bool AwaitAnswers(const uint8_t* codes, const uint32_t* sequences, size_t count) {
    Clock& clock = SystemClock();
    const uint32_t deadline = clock.TickMs() + connectTimeoutMs_;
    for (;;) {
      Pump();
      if (!alive_ || !session_.comPortAllowed()) return false;
      size_t answered = 0;
      for (size_t i = 0; i < count; ++i)
        if (session_.Answer(codes[i]).sequence != sequences[i]) ++answered;
      if (answered == count) return true;
      const uint32_t left = TickRemaining(clock.TickMs(), deadline);
      if (left == 0) return false;
      if (net::WaitReadable(socket_, left) == net::Readiness::kFailed) {
        Lose();
        return false;
      }
    }
  }

  // Sends the four settings at once and checks that the server applied
  // each as asked.
  bool ApplySettings(const LineSettings& settings) {
    if (!alive_) return false;
    uint8_t parity = 0, stop = 0;
    telnet::ParityToWire(settings.parity, &parity);
    telnet::StopBitsToWire(settings.stopBits, &stop);
    const uint32_t rate = settings.baudRate;
    const uint8_t baud[4] = {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                             static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
    struct Setting {
      uint8_t code;
      const uint8_t* value;
      uint8_t length;
    };
    const Setting rows[] = {{telnet::kSetBaudRate, baud, 4},
                            {telnet::kSetDataSize, &settings.dataBits, 1},
                            {telnet::kSetParity, &parity, 1},
                            {telnet::kSetStopSize, &stop, 1}};
    const size_t count = sizeof rows / sizeof rows[0];
    uint8_t codes[count];
    uint32_t sequences[count];
    uint8_t bytes[count * telnet::kMaxCommandBytes];
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
      codes[i] = rows[i].code;
      sequences[i] = session_.Answer(rows[i].code).sequence;
      length += telnet::EncodeComPortCommand(rows[i].code, rows[i].value, rows[i].length, bytes + length);
    }
    if (!net::SendAll(socket_, bytes, static_cast<uint32_t>(length), connectTimeoutMs_)) {
      Lose();
      return false;
    }
    if (!AwaitAnswers(codes, sequences, count)) return false;
    for (const Setting& s : rows) {
      const telnet::ComPortAnswer& answer = session_.Answer(s.code);
      if (answer.length != s.length || memcmp(answer.value, s.value, s.length) != 0) return false;
    }
    return true;
  }

  uint32_t WriteLimitMs(uint32_t count) const {
    // Kept below 2^31 so that the deadline compares wrap-safe.
    const uint64_t limit = static_cast<uint64_t>(writeMsPerByte_) * count + writeExtraMs_;
    return limit > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(limit);
  }

  const NetPortName name_;
  const uint32_t connectTimeoutMs_;
  net::Socket socket_ = net::kNoSocket;
  bool alive_ = false;
  telnet::Session session_;
  LineSettings settings_;
  bool configured_ = false;
  bool directionSet_ = false;
  bool transmitting_ = false;
  uint32_t writeMsPerByte_ = kDefaultWriteMsPerByte;
  uint32_t writeExtraMs_ = kDefaultWriteExtraMs;
  // Decoded bytes received and not yet read: input_[begin_, end_).
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
  uint8_t input_[kInputBytes];
};

}  // namespace

bool IsNetPortName(const char* name) {
  if (name == nullptr) return false;
  name = StripDevicePrefix(name);
  return strncmp(name, kRawPrefix, sizeof kRawPrefix - 1) == 0 ||
         strncmp(name, kTelnetPrefix, sizeof kTelnetPrefix - 1) == 0;
}

bool ParseNetPortName(const char* name, NetPortName* out) {
  if (name == nullptr || out == nullptr) return false;
  name = StripDevicePrefix(name);
  NetPortName parsed;
  const char* rest;
  if (strncmp(name, kRawPrefix, sizeof kRawPrefix - 1) == 0) {
    rest = name + sizeof kRawPrefix - 1;
  } else if (strncmp(name, kTelnetPrefix, sizeof kTelnetPrefix - 1) == 0) {
    rest = name + sizeof kTelnetPrefix - 1;
    parsed.rfc2217 = true;
  } else {
    return false;
  }
  const char* hostBegin = rest;
  const char* hostEnd;
  const char* colon;
  if (*rest == '[') {
    hostBegin = rest + 1;
    hostEnd = strchr(hostBegin, ']');
    if (hostEnd == nullptr || hostEnd[1] != ':') return false;
    colon = hostEnd + 1;
  } else {
    colon = strrchr(rest, ':');
    if (colon == nullptr || memchr(rest, ':', static_cast<size_t>(colon - rest)) != nullptr) return false;
    hostEnd = colon;
  }
  const size_t hostLength = static_cast<size_t>(hostEnd - hostBegin);
  if (hostLength == 0 || hostLength >= sizeof parsed.host) return false;
  const char* digits = colon + 1;
  const size_t digitCount = strlen(digits);
  if (digitCount == 0 || digitCount > 5 || strspn(digits, "0123456789") != digitCount) return false;
  const unsigned long port = strtoul(digits, nullptr, 10);
  if (port == 0 || port > 65535) return false;
  memcpy(parsed.host, hostBegin, hostLength);
  parsed.port = static_cast<uint16_t>(port);
  *out = parsed;
  return true;
}

Opened OpenNetPort(const char* name, uint32_t connectTimeoutMs) {
  Opened opened;
  opened.error = OpenError::kMissing;
  NetPortName parsed;
  if (!ParseNetPortName(name, &parsed)) return opened;
  std::unique_ptr<NetPort> port(new NetPort(parsed, connectTimeoutMs));
  opened.error = OpenErrorOf(port->Connect());
  if (opened.error == OpenError::kNone) opened.port = std::move(port);
  return opened;
}

}  // namespace platform
