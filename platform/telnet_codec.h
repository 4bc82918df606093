// The Telnet side of a line behind a device server (RFC 854 with the COM
// Port Control option of RFC 2217): escaping of 0xFF in data, option
// negotiation, and the encoding and checking of the port commands. Pure
// byte work on fixed buffers, no sockets, so every byte rule is tested on
// its own.
#ifndef VELK_PLATFORM_TELNET_CODEC_H
#define VELK_PLATFORM_TELNET_CODEC_H

#include <stddef.h>
#include <stdint.h>

namespace platform {
namespace telnet {

const uint8_t kIac = 255;
const uint8_t kDont = 254;
const uint8_t kDo = 253;
const uint8_t kWont = 252;
const uint8_t kWill = 251;
const uint8_t kSb = 250;
const uint8_t kSe = 240;

const uint8_t kOptionBinary = 0;
const uint8_t kOptionSuppressGoAhead = 3;
const uint8_t kOptionComPort = 44;

// COM Port Control commands, client to server; the server answers with the
// same code plus 100 and the value it applied.
enum ComPortCommand : uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kPurgeData = 12,
};
const uint8_t kServerCodeOffset = 100;
const uint8_t kMaxComPortCode = 12;

// Values of kSetControl and kPurgeData.
const uint8_t kControlRtsOn = 11;
const uint8_t kControlRtsOff = 12;
const uint8_t kPurgeReceive = 1;   // the server's buffer of bytes from the line
const uint8_t kPurgeTransmit = 2;  // the server's buffer of bytes to the line
const uint8_t kPurgeBoth = 3;

// Worst case of one encoded command: IAC SB 44 code, four value bytes each
// doubled, IAC SE.
const size_t kMaxCommandBytes = 4 + 8 + 2;

// Writes the command into `out` (at least kMaxCommandBytes); returns its
// length. `value` is big-endian, 1 or 4 bytes as the command takes.
size_t EncodeComPortCommand(uint8_t code, const uint8_t* value, size_t valueLength, uint8_t* out);

// The wire values of the line settings; false for a value the option
// cannot carry (a parity or stop-bit code outside the device's set).
bool ParityToWire(uint8_t parity, uint8_t* wire);      // 0 none .. 4 space -> 1 .. 5
bool StopBitsToWire(uint8_t stopBits, uint8_t* wire);  // 1 -> 1, 2 -> 2

// Escapes data for the wire: 0xFF doubled and, while the binary option is
// not in force, CR followed by NUL. `out` takes at least 2 * count bytes;
// returns the length written.
size_t EscapeData(const uint8_t* in, size_t count, bool binary, uint8_t* out);

// One answer of the server to a COM Port command.
struct ComPortAnswer {
  uint32_t sequence = 0;  // counts the answers of this code; 0 = none yet
  uint8_t value[4] = {0, 0, 0, 0};
  uint8_t length = 0;
};

// The receiving half of a connection, with its negotiation state. Feed it
// what arrives; it returns the data bytes, keeps the replies the
// negotiation owes the server and records the COM Port answers. State
// carries from one call to the next (a sequence may be split anywhere).
class Session {
 public:
  // What to send first: the options this side wants (binary both ways,
  // COM Port Control as the client, no go-aheads). Marks them requested, so
  // that the server's agreement is not answered again. `out` takes
  // kGreetingBytes; returns the length.
  static const size_t kGreetingBytes = 12;
  size_t Greeting(uint8_t* out);

  // Decodes `count` received bytes; the data bytes go to `data`, which takes
  // at least `count` bytes. Returns the number of data bytes.
  size_t Decode(const uint8_t* in, size_t count, uint8_t* data);

  // Replies owed to the server, taken out by the caller (who sends them).
  size_t PendingReplies(const uint8_t** bytes) const;
  void ClearReplies() { replyLength_ = 0; }

  // The last answer to a command code (1 .. kMaxComPortCode).
  const ComPortAnswer& Answer(uint8_t command) const;
  // False once the server refused COM Port Control (DONT 44).
  bool comPortAllowed() const { return comPortAllowed_; }
  // Whether data is sent binary (else CR goes out as CR NUL).
  bool sendBinary() const { return localBinary_; }

 private:
  enum class State { kData, kIac, kOption, kSub, kSubIac, kDataCr };
  void OnOption(uint8_t verb, uint8_t option);
  void OnSubnegotiation();
  void Reply(uint8_t verb, uint8_t option);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  bool localBinary_ = false;
  bool localComPort_ = false;
  bool remoteBinary_ = false;
  bool remoteSuppressGoAhead_ = false;
  bool comPortAllowed_ = true;
  bool localSuppressGoAhead_ = false;
  // A subnegotiation longer than this is not ours and is dropped.
  uint8_t sub_[16] = {};
  size_t subLength_ = 0;
  bool subOverflow_ = false;
  uint8_t replies_[96] = {};
  size_t replyLength_ = 0;
  ComPortAnswer answers_[kMaxComPortCode + 1];
};

}  // namespace telnet
}  // namespace platform

#endif
