#include "platform/telnet_codec.h"

#include <string.h>

namespace platform {
namespace telnet {
namespace {

const uint8_t kCr = 13;
const uint8_t kNul = 0;

}  // namespace

size_t EncodeComPortCommand(uint8_t code, const uint8_t* value, size_t valueLength, uint8_t* out) {
  size_t n = 0;
  out[n++] = kIac;
  out[n++] = kSb;
  out[n++] = kOptionComPort;
  out[n++] = code;
  for (size_t i = 0; i < valueLength && i < 4; ++i) {
    out[n++] = value[i];
    if (value[i] == kIac) out[n++] = kIac;
  }
  out[n++] = kIac;
  out[n++] = kSe;
  return n;
}

bool ParityToWire(uint8_t parity, uint8_t* wire) {
  if (parity > 4) return false;
  *wire = static_cast<uint8_t>(parity + 1);
  return true;
}

bool StopBitsToWire(uint8_t stopBits, uint8_t* wire) {
  switch (stopBits) {
    case 1: *wire = 1; return true;
    case 2: *wire = 2; return true;
    default: return false;
  }
}

size_t EscapeData(const uint8_t* in, size_t count, bool binary, uint8_t* out) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    out[n++] = in[i];
    if (in[i] == kIac)
      out[n++] = kIac;
    else if (in[i] == kCr && !binary)
      out[n++] = kNul;
  }
  return n;
}

size_t Session::Greeting(uint8_t* out) {
  const uint8_t greeting[kGreetingBytes] = {kIac, kWill, kOptionBinary,  kIac, kDo, kOptionBinary,
                                            kIac, kWill, kOptionComPort, kIac, kDo, kOptionSuppressGoAhead};
  localBinary_ = true;
  remoteBinary_ = true;
  localComPort_ = true;
  remoteSuppressGoAhead_ = true;
  memcpy(out, greeting, sizeof greeting);
  return sizeof greeting;
}

size_t Session::Decode(const uint8_t* in, size_t count, uint8_t* data) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = in[i];
    switch (state_) {
      case State::kDataCr:
        state_ = State::kData;
        if (b == kNul) break;  // CR NUL is a bare CR outside binary mode
        // fall through
      case State::kData:
        if (b == kIac) {
          state_ = State::kIac;
        } else {
          data[n++] = b;
          if (b == kCr && !remoteBinary_) state_ = State::kDataCr;
        }
        break;
      case State::kIac:
        if (b == kIac) {
          data[n++] = kIac;
          state_ = State::kData;
        } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
          verb_ = b;
          state_ = State::kOption;
        } else if (b == kSb) {
          subLength_ = 0;
          subOverflow_ = false;
          state_ = State::kSub;
        } else {
          state_ = State::kData;  // NOP, GA, AYT and the like carry nothing for us
        }
        break;
      case State::kOption:
        OnOption(verb_, b);
        state_ = State::kData;
        break;
      case State::kSub:
        if (b == kIac) {
          state_ = State::kSubIac;
        } else if (subLength_ < sizeof sub_) {
          sub_[subLength_++] = b;
        } else {
          subOverflow_ = true;
        }
        break;
      case State::kSubIac:
        if (b == kIac) {
          if (subLength_ < sizeof sub_)
            sub_[subLength_++] = kIac;
          else
            subOverflow_ = true;
          state_ = State::kSub;
        } else {
          // IAC SE ends it; any other command inside is a broken sequence,
          // ended here all the same so that data is not swallowed.
          if (b == kSe && !subOverflow_) OnSubnegotiation();
          state_ = State::kData;
        }
        break;
    }
  }
  return n;
}

void Session::OnOption(uint8_t verb, uint8_t option) {
  // Answer only a change of state, so that two sides cannot loop.
  switch (verb) {
    case kDo:
      if (option == kOptionBinary) {
        if (!localBinary_) Reply(kWill, option);
        localBinary_ = true;
      } else if (option == kOptionComPort) {
        if (!localComPort_) Reply(kWill, option);
        localComPort_ = true;
        comPortAllowed_ = true;
      } else if (option == kOptionSuppressGoAhead) {
        if (!localSuppressGoAhead_) Reply(kWill, option);
        localSuppressGoAhead_ = true;
      } else {
        Reply(kWont, option);
      }
      break;
    case kDont:
      if (option == kOptionBinary && localBinary_) {
        localBinary_ = false;
        Reply(kWont, option);
      } else if (option == kOptionComPort) {
        if (localComPort_) Reply(kWont, option);
        localComPort_ = false;
        comPortAllowed_ = false;
      } else if (option == kOptionSuppressGoAhead && localSuppressGoAhead_) {
        localSuppressGoAhead_ = false;
        Reply(kWont, option);
      }
      break;
    case kWill:
      if (option == kOptionBinary) {
        if (!remoteBinary_) Reply(kDo, option);
        remoteBinary_ = true;
      } else if (option == kOptionSuppressGoAhead) {
        if (!remoteSuppressGoAhead_) Reply(kDo, option);
        remoteSuppressGoAhead_ = true;
      } else {
        // Echo above all: a server echoing our commands would corrupt answers.
        Reply(kDont, option);
      }
      break;
    case kWont:
      if (option == kOptionBinary && remoteBinary_) {
        remoteBinary_ = false;
        Reply(kDont, option);
      } else if (option == kOptionSuppressGoAhead && remoteSuppressGoAhead_) {
        remoteSuppressGoAhead_ = false;
        Reply(kDont, option);
      }
      break;
  }
}

void Session::OnSubnegotiation() {
  if (subLength_ < 2 || sub_[0] != kOptionComPort) return;
  const uint8_t code = sub_[1];
  if (code <= kServerCodeOffset || code > kServerCodeOffset + kMaxComPortCode) return;  // notifications and the like
  ComPortAnswer& answer = answers_[code - kServerCodeOffset];
  answer.length = static_cast<uint8_t>(subLength_ - 2 > 4 ? 4 : subLength_ - 2);
  memcpy(answer.value, sub_ + 2, answer.length);
  ++answer.sequence;
}

void Session::Reply(uint8_t verb, uint8_t option) {
  if (replyLength_ + 3 > sizeof replies_) return;  // a flood of requests: the rest go unanswered
  replies_[replyLength_++] = kIac;
  replies_[replyLength_++] = verb;
  replies_[replyLength_++] = option;
}

size_t Session::PendingReplies(const uint8_t** bytes) const {
  *bytes = replies_;
  return replyLength_;
}

const ComPortAnswer& Session::Answer(uint8_t command) const {
  return answers_[command <= kMaxComPortCode ? command : 0];
}

}  // namespace telnet
}  // namespace platform
