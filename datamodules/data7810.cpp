#include "datamodules/data7810.h"

#include <string.h>


#include "platform/atoms.h"
#include "platform/file_time.h"
#include "protocol/packet_items.h"
#include "protocol/register_tables.h"

namespace datamodules {
namespace {

namespace reg = protocol::reg;

const char kCarriageReturn = '\r';
// Lengths of the module's answers, carriage return included: "!" AA and the
// fields of each, or "!" AA alone for a command that sets something.
const int32_t kConfigurationAnswer = 10;
const int32_t kTemperatureAnswer = 36;
const int32_t kAcknowledgement = 4;

// What arrived of one answer. Positions past the received bytes read as 0,
// so no rule ever looks at bytes the module did not send.
struct Answer {
  const char* bytes;
  int32_t count;
  char At(int32_t position) const { return position >= 0 && position < count ? bytes[position] : '\0'; }
};

// A hexadecimal digit of an answer, either case; -1 for anything else.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two digits, high first; -1 when either is not hexadecimal.
int HexPair(const Answer& a, int32_t position) {
  const int high = HexValue(a.At(position));
  const int low = HexValue(a.At(position + 1));
  return (high < 0 || low < 0) ? -1 : high * 16 + low;
}

// --- Decoding rules: one per readable register --------------------------

// What a rule made of one item.
enum class Reading {
  kStored,     // the item holds the module's value
  kNoReading,  // the module reports no valid value for the item's channel
  kFailed,     // the value could not be handed over: the packet fails
};

// Positions 5-6 of the configuration answer: 3 is 1200 baud, each step
// doubles, 8 is 38400. Anything else is a code the driver cannot name.
bool BaudCodeValid(const Answer& a) {
  const int code = HexPair(a, 5);
  return code >= 3 && code <= 8;
}

Reading DecodeAddress(const Answer& a, int16_t, velk::ValueSlot& value) {
  const int address = HexPair(a, 1);
  protocol::StoreByte(value, static_cast<uint8_t>(address < 0 ? 0 : address));
  return Reading::kStored;
}

Reading DecodeBaud(const Answer& a, int16_t, velk::ValueSlot& value) {
  const int code = HexPair(a, 5);  // checked by BaudCodeValid before any item
  protocol::StoreLong(value, 1200u << (code - 3));
  return Reading::kStored;
}

// A text value goes to the host as an atom. An empty text has none and
// stores 0; a text the full atom table cannot take fails the packet rather
// than hand the host atom 0 as its value.
Reading StoreText(const char* text, size_t length, velk::ValueSlot& value) {
  char copy[16] = {};
  memcpy(copy, text, length < sizeof copy - 1 ? length : sizeof copy - 1);
  const uint16_t atom = platform::AddGlobalAtom(copy);
  if (atom == 0 && copy[0] != '\0') return Reading::kFailed;
  protocol::StoreHalf(value, atom);
  return Reading::kStored;
}

// Five characters from position 3, cut short by a zero byte.
Reading DecodeVersion(const Answer& a, int16_t, velk::ValueSlot& value) {
  size_t length = 0;
  while (length < 5 && a.At(static_cast<int32_t>(3 + length)) != '\0') ++length;
  return StoreText(a.bytes + 3, length, value);
}

// From position 3 up to the first carriage return, at most eight characters.
Reading DecodeName(const Answer& a, int16_t, velk::ValueSlot& value) {
  int32_t end = 0;
  while (end < a.count && a.bytes[end] != kCarriageReturn) ++end;
  size_t length = 0;
  if (end < a.count && end > 3) length = static_cast<size_t>(end - 3);
  if (length > 8) length = 8;
  return StoreText(a.bytes + 3, length, value);
}

Reading DecodeInput(const Answer& a, int16_t channel, velk::ValueSlot& value) {
  const uint8_t inputs = static_cast<uint8_t>(a.At(3));
  const bool set = channel >= 0 && channel < 8 && ((inputs >> channel) & 1) != 0;
  protocol::StoreLong(value, set ? 1u : 0u);
  return Reading::kStored;
}

// Eight groups of four digits from position 3. Bits 15-13 of a group name
// its channel, bit 12 is the sign, bit 11 marks a channel without a valid
// reading and bits 10-0 are sixteenths of a degree. A channel the answer
// reports no valid reading for (flagged, missing, or behind a group that is
// not hexadecimal) keeps its value: 0.0 would be a believable temperature.
Reading DecodeTemperature(const Answer& a, int16_t channel, velk::ValueSlot& value) {
  for (int32_t group = 0; group < 8; ++group) {
    const int32_t at = 3 + 4 * group;
    const int high = HexPair(a, at);
    const int low = HexPair(a, at + 2);
    if (high < 0 || low < 0) break;
    const uint16_t word = static_cast<uint16_t>(high << 8 | low);
    if ((word >> 13) != channel) continue;
    if ((word & 0x0800) != 0) break;
    float degrees = static_cast<float>(word & 0x07FF) * 0.0625f;
    if ((word & 0x1000) != 0) degrees = -degrees;
    protocol::StoreFloat(value, degrees);
    return Reading::kStored;
  }
  return Reading::kNoReading;
}

// A read packet: one exchange for the packet's register, then one rule for
// every item.
struct ReadRow {
  int16_t registerCode;
  char command;  // "$" AA command CR
  int32_t answerLength;
  bool (*answerUsable)(const Answer&);  // null: every complete answer is
  Reading (*decode)(const Answer&, int16_t channel, velk::ValueSlot& value);
  bool secondTry;  // a first answer that is not "!" is read once more
};

const ReadRow kReadRows[] = {
    {reg::kAddr, '2', kConfigurationAnswer, nullptr, DecodeAddress, false},
    {reg::kBaud, '2', kConfigurationAnswer, BaudCodeValid, DecodeBaud, true},
    {reg::kVersion, 'F', 9, nullptr, DecodeVersion, false},
    {reg::kName, 'M', 12, nullptr, DecodeName, false},
    {reg::kDI, '6', 5, nullptr, DecodeInput, false},
    {reg::kTemp, '0', kTemperatureAnswer, nullptr, DecodeTemperature, false},
};

const ReadRow* FindReadRow(int16_t registerCode) {
  for (const ReadRow& row : kReadRows)
    if (row.registerCode == registerCode) return &row;
  return nullptr;  // "DO" and unknown registers are read without traffic
}

// Quality "bad: sensor failure" of an item the module has no reading for.
const uint16_t kQualitySensorFailure = 16;

void Stamp(velk::TagItem&) {}
void Stamp(velk::TagItem2& item) { protocol::StampItem(item, platform::FileTimeNow()); }
void StampNoReading(velk::TagItem&) {}
void StampNoReading(velk::TagItem2& item) {
  protocol::StampItem(item, platform::FileTimeNow());
  item.quality = kQualitySensorFailure;
}

// Register codes a write packet acts on.
bool IsWritable(uint8_t registerCode) {
  return registerCode == reg::kAddr || registerCode == reg::kBaud || registerCode == reg::kDO;
}

uint8_t RegisterOf(const velk::TagItem& item) { return static_cast<uint8_t>(item.registerCode); }
uint8_t RegisterOf(const velk::TagItem2& item) { return static_cast<uint8_t>(item.registerCode); }

}  // namespace

uint8_t BaudCodeOfRate(uint32_t rate) {
  // Any other rate would program a neighbouring code, or one the module
  // cannot hold, and the module would drop off the line.
  for (uint8_t code = 3; code <= 8; ++code)
    if (rate == 1200u << (code - 3)) return code;
  return 0;
}

Data7810::Data7810(serial::SerialLine& line) : line_(line) {
  memcpy(hexDigitTable, "0123456789ABCDEF", sizeof hexDigitTable);
  memset(d7810ReceiveBuffer, '0', sizeof d7810ReceiveBuffer);
}

char Data7810::AnswerAt(int32_t position) const {
  return Answer{d7810ReceiveBuffer, d7810ReceivedCount}.At(position);
}

void Data7810::PutAddress(char* at, uint8_t address) const {
  at[0] = hexDigitTable[address >> 4];
  at[1] = hexDigitTable[address & 0x0F];
}

int32_t Data7810::TransactCount(int32_t length, int32_t answerLength, uint8_t echo) {
  memset(d7810ReceiveBuffer, 0, sizeof d7810ReceiveBuffer);
  d7810ReceivedCount = 0;
  if (length < 0) length = 0;
  if (length > static_cast<int32_t>(sizeof d7810SendBuffer)) length = sizeof d7810SendBuffer;
  d7810SendLength = length;
  uint32_t got = 0;
  const int32_t ok = line_.Exchange(d7810SendBuffer, static_cast<uint32_t>(length),
                                    serial::Data7810AnswerOf(static_cast<uint16_t>(answerLength)),
                                    d7810ReceiveBuffer, sizeof d7810ReceiveBuffer, &got);
  d7810ReceivedCount = static_cast<int32_t>(got);
  if (ok == 0) return 0;
  const Answer answer{d7810ReceiveBuffer, d7810ReceivedCount};
  if (answer.At(0) == '?') {
    line_.diagnostics.Fail(velk::kOutcomeRefused);
    return 0;
  }
  // Another module's answer (a late one, or one of a module set to the same
  // address) has the right length but not the address asked.
  if (answer.At(0) != '!' || HexPair(answer, 1) != echo) {
    line_.diagnostics.Fail(velk::kOutcomeBadAnswer);
    line_.MarkAnswerBad();
    return 0;
  }
  return 1;
}

int32_t Data7810::Query(uint8_t address, char command, int32_t answerLength) {
  d7810SendBuffer[0] = '$';
  PutAddress(d7810SendBuffer + 1, address);
  d7810SendBuffer[3] = command;
  d7810SendBuffer[4] = kCarriageReturn;
  return TransactCount(5, answerLength, address);
}

// A busy module is asked again no sooner than its answer's wire time plus
// this pause after it was last asked. The module answers "N" while it
// converts, which takes far longer than one answer on the wire; asking it
// back to back only floods the bus that every other module shares. A tenth
// of a second keeps a busy module below ten commands a second at any baud
// rate, and delays its reading by at most that much past its conversion.
const uint32_t kBusyPauseMs = 100;

int32_t Data7810::ReadTemperatures(uint8_t address) {
  // A module still converting answers "N" at position 3 and is asked again
  // at a pace until it answers, but for no longer than one answer time-out
  // after its first busy answer: a module stuck in that state must not hold
  // the host's thread. The bound starts there, not at the first command,
  // because a short busy answer may itself have used up a whole time-out.
  platform::Clock& clock = line_.clock();
  uint32_t askedAt = clock.TickMs();
  int32_t ok = Query(address, '0', kTemperatureAnswer);
  if (AnswerAt(3) != 'N') return ok;
  const uint32_t bound = line_.answerTimeoutMs > 0 ? static_cast<uint32_t>(line_.answerTimeoutMs) : 0;
  const uint32_t giveUpAt = clock.TickMs() + bound;
  const uint32_t wireMs = (static_cast<uint32_t>(kTemperatureAnswer) * line_.charTimeUs() + 999u) / 1000u;
  do {
    const uint32_t now = clock.TickMs();
    const uint32_t pace = platform::TickRemaining(now, askedAt + wireMs + kBusyPauseMs);
    const uint32_t left = platform::TickRemaining(now, giveUpAt);
    if (left == 0) {
      line_.diagnostics.Fail(velk::kOutcomeBusyBound);
      return 0;
    }
    if (pace != 0) {
      clock.SleepMs(pace < left ? pace : left);
      continue;  // the bound is looked at again before the next ask
    }
    askedAt = clock.TickMs();
    ok = Query(address, '0', kTemperatureAnswer);
  } while (AnswerAt(3) == 'N');
  return ok;
}

int32_t Data7810::SendConfiguration(uint8_t address, uint8_t newAddress, const char* newCodeOrNull) {
  // The command repeats the module's baud code and data format, so they are
  // read first.
  if (Query(address, '2', kConfigurationAnswer) == 0) return 0;
  char* c = d7810SendBuffer;
  c[0] = '%';
  PutAddress(c + 1, address);
  PutAddress(c + 3, newAddress);
  c[5] = '0';  // where the answer had its type code
  c[6] = '0';
  c[7] = newCodeOrNull != nullptr ? newCodeOrNull[0] : AnswerAt(5);
  c[8] = newCodeOrNull != nullptr ? newCodeOrNull[1] : AnswerAt(6);
  c[9] = AnswerAt(7);
  c[10] = AnswerAt(8);
  c[11] = kCarriageReturn;
  // The module answers from its new address.
  return TransactCount(12, kAcknowledgement, newAddress);
}

int32_t Data7810::SetAddress(uint8_t address, uint8_t newAddress) {
  return SendConfiguration(address, newAddress, nullptr);
}

int32_t Data7810::SetBaudRate(uint8_t address, uint32_t rate) {
  const uint8_t code = BaudCodeOfRate(rate);
  if (code == 0) {
    line_.diagnostics.Fail(velk::kOutcomeNotBuilt);
    return 0;
  }
  char digits[2];
  PutAddress(digits, code);
  return SendConfiguration(address, address, digits);
}

int32_t Data7810::SetOutputs(uint8_t address, uint8_t outputs) {
  d7810SendBuffer[0] = '#';
  PutAddress(d7810SendBuffer + 1, address);
  d7810SendBuffer[3] = hexDigitTable[outputs & 0x0F];
  d7810SendBuffer[4] = kCarriageReturn;
  if (TransactCount(5, kAcknowledgement, address) == 0) return 0;
  d7810OutputShadow[address] = outputs;
  return 1;
}

template <typename Item>
int32_t Data7810::ReadPacket(velk::Packet& packet) {
  const ReadRow* row = FindReadRow(packet.registerCode);
  if (row == nullptr) return 1;
  const uint8_t address = static_cast<uint8_t>(packet.address);
  int32_t ok = row->registerCode == reg::kTemp ? ReadTemperatures(address)
                                               : Query(address, row->command, row->answerLength);
  // Only a complete answer of the wrong lead (a refusal) earns the second
  // read: a silent module is not waited for twice.
  if (ok == 0 && row->secondTry && d7810ReceivedCount > 0 && AnswerAt(0) != '!')
    ok = Query(address, row->command, row->answerLength);
  // A failed exchange or an answer the rules cannot use leaves every item as
  // it was: a zero-filled buffer must not reach the host as good values.
  if (ok == 0) return 0;
  const Answer answer{d7810ReceiveBuffer, d7810ReceivedCount};
  if (row->answerUsable != nullptr && !row->answerUsable(answer)) {
    line_.diagnostics.Fail(velk::kOutcomeBadAnswer);
    line_.MarkAnswerBad();
    return 0;
  }
  bool failed = false;
  protocol::ForEachItem<Item>(packet, [&](Item& item) {
    if (failed) return;
    switch (row->decode(answer, item.channel, item.value)) {
      case Reading::kStored: Stamp(item); break;
      case Reading::kNoReading: StampNoReading(item); break;
      case Reading::kFailed: failed = true; break;
    }
  });
  return failed ? 0 : 1;
}

template <typename Item>
int32_t Data7810::WriteItem(uint8_t address, Item& item) {
  switch (RegisterOf(item)) {
    case reg::kAddr: return SetAddress(address, protocol::SlotByte(item.value));
    case reg::kBaud: return SetBaudRate(address, protocol::SlotU32(item.value));
    case reg::kDO: {
      // The output character is one hexadecimal digit: four outputs at most.
      if (item.channel < 0 || item.channel > 3) {
        line_.diagnostics.Fail(velk::kOutcomeNotBuilt);
        return 0;
      }
      const uint8_t bit = static_cast<uint8_t>(1u << item.channel);
      const uint8_t now = d7810OutputShadow[address];
      return SetOutputs(address, static_cast<uint8_t>(protocol::SlotU32(item.value) != 0 ? now | bit : now & ~bit));
    }
    default: return 1;  // nothing to write for this register
  }
}

template <typename Item>
int32_t Data7810::ProcessPacket(velk::Packet& packet) {
  // A packet without items asks for nothing, and nothing goes on the line.
  if (protocol::FirstItem<Item>(packet) == nullptr) return 0;
  if (packet.direction == 0) return ReadPacket<Item>(packet);
  const uint8_t address = static_cast<uint8_t>(packet.address);
  // An item is stamped only once its write went through; one without
  // anything to write only when the whole packet did.
  int32_t result = 1;
  protocol::ForEachItem<Item>(packet, [&](Item& item) {
    if (!IsWritable(RegisterOf(item))) return;
    const int32_t written = WriteItem(address, item);
    if (written != 0) Stamp(item);
    result &= written;
  });
  if (result != 0)
    protocol::ForEachItem<Item>(packet, [&](Item& item) {
      if (!IsWritable(RegisterOf(item))) Stamp(item);
    });
  return result;
}

int32_t Data7810::ProcessData7810Packet(velk::Packet& packet) { return ProcessPacket<velk::TagItem>(packet); }
int32_t Data7810::ProcessData7810Packet2(velk::Packet& packet) { return ProcessPacket<velk::TagItem2>(packet); }

int32_t Data7810::ProbeData7810(const char* typeName, int32_t address, velk::DeviceRecord* device) {
  // A version read of one byte-typed item; packet and item live only here.
  velk::TagItem item{};
  item.channel = 0;
  item.dataType = velk::kTypeByte;
  item.registerCode = reg::kVersion;
  velk::PtrListNode node{nullptr, nullptr, &item};
  velk::Packet packet{};
  packet.address = static_cast<int16_t>(address);
  packet.device = device;
  packet.moduleType = typeName;
  packet.registerCode = reg::kVersion;
  packet.direction = 0;
  packet.items.head = &node;
  packet.items.tail = &node;
  packet.items.count = 1;
  return ProcessData7810Packet(packet);
}

int32_t Data7810::CanMergeData7810(const velk::TagDef& tag, int32_t direction, velk::Packet& packet) {
  if (direction != packet.direction || tag.address != packet.address || tag.registerCode != packet.registerCode)
    return 0;
  const int64_t c = tag.channel;
  if (direction == 1) return c == packet.channelLow ? 1 : 0;
  // One temperature answer serves all eight channels.
  if (tag.registerCode == reg::kTemp) return 1;
  if (c < packet.channelLow) {
    if (static_cast<int64_t>(packet.channelHigh) - c + 1 > 1) return 0;
    packet.channelLow = static_cast<int32_t>(c);
    return 1;
  }
  if (c > packet.channelHigh) {
    if (c - packet.channelLow + 1 > 1) return 0;
    packet.channelHigh = static_cast<int32_t>(c);
    return 1;
  }
  return 1;
}

}  // namespace datamodules
