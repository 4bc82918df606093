// Network lines: a socket per opened port name, a decoded input buffer per
// connection (allocated at opening, so no packet allocates), and the COM
// Port commands of RFC 2217 with their answers awaited within a bound.
#include "platform/net_line.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>

#include "platform/clock.h"
#include "platform/net_socket.h"
#include "platform/telnet_codec.h"

namespace platform {
namespace {

const char kRawPrefix[] = "tcp:";
const char kTelnetPrefix[] = "rfc2217:";

// Bounds a write whose time-outs were never set, as for a device.
const uint32_t kDefaultWriteMultiplierMs = 100;
const uint32_t kDefaultWriteConstantMs = 1000;

// More than the line ever asks for at once (its reads take at most 500
// bytes, the device's input queue is 1024).
const uint32_t kInputBytes = 4096;
const uint32_t kReceiveChunk = 512;

thread_local OpenError lastOpenError = OpenError::kNone;

const char* StripDevicePrefix(const char* name) {
  if (strncmp(name, "\\\\.\\", 4) == 0 || strncmp(name, "//./", 4) == 0) return name + 4;
  return name;
}

struct Connection {
  NetPortName name;
  net::Socket socket = net::kNoSocket;
  bool alive = false;
  telnet::Session session;
  CommState state;
  bool stateSet = false;
  bool rtsSet = false;
  bool rts = false;
  CommTimeouts timeouts;
  bool timeoutsSet = false;
  // Decoded bytes received and not yet read: input[begin, end).
  uint32_t begin = 0;
  uint32_t end = 0;
  uint8_t input[kInputBytes];
};

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

class NetLines final : public NetLineApi {
 public:
  std::unique_ptr<Port> Open(const char* path) override;
  std::unique_ptr<Port> Adopt(Handle) override { return nullptr; }  // a host hands over devices only
  OpenError LastOpenError() override { return lastOpenError; }

  bool SetupQueues(Connection* c, uint32_t, uint32_t) { return c != nullptr; }

  bool GetState(Connection* c, CommState* state) {
    if (c == nullptr || state == nullptr) return false;
    // Before any setting, the usual defaults of a fresh port.
    *state = c->stateSet ? c->state : CommState{9600, 8, 0, 0};
    return true;
  }

  bool SetState(Connection* c, const CommState& state) {
    uint8_t parity = 0, stop = 0;
    if (c == nullptr || state.baudRate == 0 || state.byteSize < 5 || state.byteSize > 8 ||
        !telnet::ParityToWire(state.parity, &parity) || !telnet::StopBitsToWire(state.stopBits, &stop))
      return false;
    if (c->name.rfc2217 && !ApplyState(*c, state)) return false;
    c->state = state;
    c->stateSet = true;
    return true;
  }

  bool SetEventMask(Connection* c, uint32_t) { return c != nullptr; }

  bool SetTimeouts(Connection* c, const CommTimeouts& timeouts) {
    if (c == nullptr) return false;
    c->timeouts = timeouts;
    c->timeoutsSet = true;
    return true;
  }

  bool SetRts(Connection* c, bool raised) {
    if (c == nullptr) return false;
    c->rts = raised;
    c->rtsSet = true;
    if (!c->name.rfc2217) return true;
    if (!c->alive) return false;
    // Not awaited: the server switches its own RS-485 driver, so the timing
    // of our RTS means nothing on its wire, and a server port without modem
    // lines (a pseudo-terminal) never answers. Waiting would cost a round
    // trip twice per packet for nothing; the answer is taken when it comes.
    const uint8_t value = raised ? telnet::kControlRtsOn : telnet::kControlRtsOff;
    return SendCommand(*c, telnet::kSetControl, &value, 1);
  }

  bool Purge(Connection* c, uint32_t flags) {
    if (c == nullptr) return false;
    const bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    const bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    if (rx) {
      // What already arrived is dropped with what the server still holds.
      Pump(*c);
      c->begin = c->end = 0;
    }
    if (!c->name.rfc2217 || (!rx && !tx)) return true;
    if (!c->alive) return false;
    const uint8_t value = rx && tx ? telnet::kPurgeBoth : rx ? telnet::kPurgeReceive : telnet::kPurgeTransmit;
    const uint32_t before = c->session.Answer(telnet::kPurgeData).sequence;
    if (!SendCommand(*c, telnet::kPurgeData, &value, 1)) return false;
    const uint8_t codes[] = {telnet::kPurgeData};
    const uint32_t sequences[] = {before};
    if (!AwaitAnswers(*c, codes, sequences, 1)) return false;
    if (rx) c->begin = c->end = 0;
    return true;
  }

  bool Status(Connection* c, CommStatus* status) {
    if (c == nullptr || status == nullptr) return false;
    Pump(*c);
    status->inQueue = c->end - c->begin;
    status->outQueue = c->alive ? net::UnsentBytes(c->socket) : 0;
    return c->alive || status->inQueue > 0;
  }

  bool Read(Connection* c, void* bytes, uint32_t count, uint32_t* got) {
    if (got != nullptr) *got = 0;
    if (c == nullptr || (bytes == nullptr && count > 0)) return false;
    Pump(*c);
    const uint32_t waiting = c->end - c->begin;
    if (waiting == 0) return c->alive;
    const uint32_t n = count < waiting ? count : waiting;
    memcpy(bytes, c->input + c->begin, n);
    c->begin += n;
    if (c->begin == c->end) c->begin = c->end = 0;
    if (got != nullptr) *got = n;
    return true;
  }

  bool Write(Connection* c, const void* bytes, uint32_t count, uint32_t* written) {
    if (written != nullptr) *written = 0;
    if (c == nullptr || (bytes == nullptr && count > 0)) return false;
    // A line whose server went away is connected again here, at the next
    // packet, with the settings it had. A close that arrived since the last
    // look is taken in first, so that the command is not sent into it.
    Pump(*c);
    if (!c->alive && !Reconnect(*c)) return false;
    const uint32_t limitMs = WriteLimitMs(*c, count);
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    bool sent = true;
    if (!c->name.rfc2217) {
      sent = net::SendAll(c->socket, next, count, limitMs);
    } else {
      const uint32_t deadline = SystemClock().TickMs() + limitMs;
      uint8_t escaped[2 * 256];
      for (uint32_t done = 0; sent && done < count;) {
        const uint32_t n = count - done < 256 ? count - done : 256;
        const size_t length = telnet::EscapeData(next + done, n, c->session.sendBinary(), escaped);
        sent = net::SendAll(c->socket, escaped, static_cast<uint32_t>(length),
                            TickRemaining(SystemClock().TickMs(), deadline));
        done += n;
      }
    }
    if (!sent) {
      Lose(*c);
      return false;
    }
    if (written != nullptr) *written = count;
    return true;
  }

  WaitResult WaitForInput(Connection* c, uint32_t maxMs) {
    Clock& clock = SystemClock();
    if (c == nullptr) {
      clock.SleepMs(1);
      return WaitResult::kHangUp;
    }
    const uint32_t deadline = clock.TickMs() + maxMs;
    for (;;) {
      Pump(*c);
      if (c->end > c->begin) return WaitResult::kInput;
      if (!c->alive) {
        // Paced like a hung-up device: a caller that waits on regardless
        // must not spin.
        clock.SleepMs(1);
        return WaitResult::kHangUp;
      }
      const uint32_t left = TickRemaining(clock.TickMs(), deadline);
      if (left == 0) return WaitResult::kTimeout;
      // Woken by negotiation or an answer alone, it waits on for data.
      if (net::WaitReadable(c->socket, left) == net::Readiness::kTimeout) return WaitResult::kTimeout;
    }
  }

  bool DeviceNamesNeedColon() override { return false; }

  void SetConnectTimeoutMs(uint32_t ms) override { connectTimeoutMs_ = ms == 0 ? 1 : ms; }

  void Lose(Connection& c) {
    c.alive = false;
    net::CloseSocket(c.socket);
    c.socket = net::kNoSocket;
  }

 private:
  net::ConnectResult Connect(Connection& c) {
    const net::ConnectResult result = net::Connect(c.name.host, c.name.port, connectTimeoutMs_, &c.socket);
    if (result != net::ConnectResult::kConnected) return result;
    c.alive = true;
    c.begin = c.end = 0;
    c.session = telnet::Session();
    if (c.name.rfc2217) {
      uint8_t greeting[telnet::Session::kGreetingBytes];
      const size_t length = c.session.Greeting(greeting);
      if (!net::SendAll(c.socket, greeting, static_cast<uint32_t>(length), connectTimeoutMs_)) {
        Lose(c);
        return net::ConnectResult::kOther;
      }
    }
    return result;
  }

  bool Reconnect(Connection& c) {
    net::CloseSocket(c.socket);
    c.socket = net::kNoSocket;
    if (Connect(c) != net::ConnectResult::kConnected) return false;
    if (!c.name.rfc2217) return true;
    if (c.stateSet && !ApplyState(c, c.state)) {
      Lose(c);
      return false;
    }
    if (c.rtsSet) {
      const uint8_t value = c.rts ? telnet::kControlRtsOn : telnet::kControlRtsOff;
      SendCommand(c, telnet::kSetControl, &value, 1);
    }
    return true;
  }

  // Takes in what the socket holds, as far as the buffer has room, and
  // answers the server's negotiation. Notices a closed connection.
  void Pump(Connection& c) {
    while (c.alive) {
      if (c.begin > 0 && c.end == kInputBytes) {
        memmove(c.input, c.input + c.begin, c.end - c.begin);
        c.end -= c.begin;
        c.begin = 0;
      }
      if (c.end - c.begin == kInputBytes) {
        // Nobody reads and the buffer is full: the oldest bytes are lost, as
        // in a UART's overrun, so that a server answer behind them still
        // gets through and no wait spins on a socket it cannot drain.
        c.begin = c.end = 0;
      }
      const uint32_t room = kInputBytes - c.end;
      const uint32_t want = room < kReceiveChunk ? room : kReceiveChunk;
      uint32_t got = 0;
      net::ReceiveResult result;
      if (!c.name.rfc2217) {
        result = net::Receive(c.socket, c.input + c.end, want, &got);
        c.end += got;
      } else {
        uint8_t raw[kReceiveChunk];
        result = net::Receive(c.socket, raw, want, &got);
        // Decoding never lengthens: `got` bytes fit in `room`.
        c.end += static_cast<uint32_t>(c.session.Decode(raw, got, c.input + c.end));
        const uint8_t* replies = nullptr;
        const size_t length = c.session.PendingReplies(&replies);
        if (length > 0) {
          const bool sent = net::SendAll(c.socket, replies, static_cast<uint32_t>(length), connectTimeoutMs_);
          c.session.ClearReplies();
          if (!sent) result = net::ReceiveResult::kClosed;
        }
      }
      if (result == net::ReceiveResult::kClosed) Lose(c);
      if (result != net::ReceiveResult::kData) return;
    }
  }

  bool SendCommand(Connection& c, uint8_t code, const uint8_t* value, size_t length) {
    uint8_t bytes[telnet::kMaxCommandBytes];
    const size_t n = telnet::EncodeComPortCommand(code, value, length, bytes);
    if (net::SendAll(c.socket, bytes, static_cast<uint32_t>(n), connectTimeoutMs_)) return true;
    Lose(c);
    return false;
  }

  // Waits until every code has a newer answer than its sequence number.
  bool AwaitAnswers(Connection& c, const uint8_t* codes, const uint32_t* sequences, size_t count) {
    Clock& clock = SystemClock();
    const uint32_t deadline = clock.TickMs() + connectTimeoutMs_;
    for (;;) {
      Pump(c);
      if (!c.alive || !c.session.comPortAllowed()) return false;
      size_t answered = 0;
      for (size_t i = 0; i < count; ++i)
        if (c.session.Answer(codes[i]).sequence != sequences[i]) ++answered;
      if (answered == count) return true;
      const uint32_t left = TickRemaining(clock.TickMs(), deadline);
      if (left == 0) return false;
      if (net::WaitReadable(c.socket, left) == net::Readiness::kFailed) {
        Lose(c);
        return false;
      }
    }
  }

  // Sends the four settings at once and checks that the server applied
  // each as asked.
  bool ApplyState(Connection& c, const CommState& state) {
    if (!c.alive) return false;
    uint8_t parity = 0, stop = 0;
    telnet::ParityToWire(state.parity, &parity);
    telnet::StopBitsToWire(state.stopBits, &stop);
    const uint8_t baud[4] = {static_cast<uint8_t>(state.baudRate >> 24), static_cast<uint8_t>(state.baudRate >> 16),
                             static_cast<uint8_t>(state.baudRate >> 8), static_cast<uint8_t>(state.baudRate)};
    struct Setting {
      uint8_t code;
      const uint8_t* value;
      uint8_t length;
    };
    const Setting settings[] = {{telnet::kSetBaudRate, baud, 4},
                                {telnet::kSetDataSize, &state.byteSize, 1},
                                {telnet::kSetParity, &parity, 1},
                                {telnet::kSetStopSize, &stop, 1}};
    const size_t count = sizeof settings / sizeof settings[0];
    uint8_t codes[count];
    uint32_t sequences[count];
    uint8_t bytes[count * telnet::kMaxCommandBytes];
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
      codes[i] = settings[i].code;
      sequences[i] = c.session.Answer(settings[i].code).sequence;
      length += telnet::EncodeComPortCommand(settings[i].code, settings[i].value, settings[i].length, bytes + length);
    }
    if (!net::SendAll(c.socket, bytes, static_cast<uint32_t>(length), connectTimeoutMs_)) {
      Lose(c);
      return false;
    }
    if (!AwaitAnswers(c, codes, sequences, count)) return false;
    for (const Setting& s : settings) {
      const telnet::ComPortAnswer& answer = c.session.Answer(s.code);
      if (answer.length != s.length || memcmp(answer.value, s.value, s.length) != 0) return false;
    }
    return true;
  }

  uint32_t WriteLimitMs(const Connection& c, uint32_t count) const {
    CommTimeouts t = c.timeouts;
    if (!c.timeoutsSet || (t.writeTotalMultiplier == 0 && t.writeTotalConstant == 0)) {
      t.writeTotalMultiplier = kDefaultWriteMultiplierMs;
      t.writeTotalConstant = kDefaultWriteConstantMs;
    }
    const uint64_t limit = static_cast<uint64_t>(t.writeTotalMultiplier) * count + t.writeTotalConstant;
    return limit > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(limit);
  }

  std::atomic<uint32_t> connectTimeoutMs_{kDefaultConnectTimeoutMs};
};

// One network line: its connection, settings and decoded input. The
// socket is closed once, with the object.
class NetPort final : public Port {
 public:
  explicit NetPort(NetLines& lines) : lines_(lines) {}
  ~NetPort() override { net::CloseSocket(c_.socket); }
  Connection& connection() { return c_; }

  Handle handle() const override { return kNoHandle; }
  bool SetupQueues(uint32_t in, uint32_t out) override { return lines_.SetupQueues(&c_, in, out); }
  bool GetState(CommState* state) override { return lines_.GetState(&c_, state); }
  bool SetState(const CommState& state) override { return lines_.SetState(&c_, state); }
  bool SetEventMask(uint32_t mask) override { return lines_.SetEventMask(&c_, mask); }
  bool SetTimeouts(const CommTimeouts& t) override { return lines_.SetTimeouts(&c_, t); }
  bool SetRts(bool raised) override { return lines_.SetRts(&c_, raised); }
  bool Purge(uint32_t flags) override { return lines_.Purge(&c_, flags); }
  bool Status(CommStatus* status) override { return lines_.Status(&c_, status); }
  bool Read(void* bytes, uint32_t count, uint32_t* got) override { return lines_.Read(&c_, bytes, count, got); }
  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    return lines_.Write(&c_, bytes, count, written);
  }
  WaitResult WaitForInput(uint32_t maxMs) override { return lines_.WaitForInput(&c_, maxMs); }

 private:
  NetLines& lines_;
  Connection c_;
};

std::unique_ptr<Port> NetLines::Open(const char* path) {
  lastOpenError = OpenError::kMissing;
  if (path == nullptr) return nullptr;
  std::unique_ptr<NetPort> port(new NetPort(*this));
  Connection& c = port->connection();
  if (!ParseNetPortName(path, &c.name)) return nullptr;
  const net::ConnectResult result = Connect(c);
  if (result != net::ConnectResult::kConnected) {
    lastOpenError = OpenErrorOf(result);
    return nullptr;
  }
  lastOpenError = OpenError::kNone;
  return std::unique_ptr<Port>(port.release());
}

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

NetLineApi& NetworkSerialApi() {
  static NetLines api;
  return api;
}

}  // namespace platform
