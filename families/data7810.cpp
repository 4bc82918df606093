// Data7810 modules: configuration, digital I/O and temperature channels,
// reached with fixed commands; every answer has a fixed length and echoes
// the module's address.
#include "families/data7810.h"

#include <string.h>

#include "families/answer_check.h"
#include "families/item_layout.h"
#include "platform/atoms.h"
#include "protocol/encoding.h"
#include "protocol/packet_items.h"
#include "protocol/register_tables.h"

namespace families {
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

// Two digits, high first; -1 when either is not hexadecimal.
int HexPair(const Answer& a, int32_t position) { return protocol::HexPairValue(a.At(position), a.At(position + 1)); }

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
  bool mayBeBusy;  // "!" AA "N" while the module converts: asked again at a pace
};

const ReadRow kReadRows[] = {
    {reg::kAddr, '2', kConfigurationAnswer, nullptr, DecodeAddress, false, false},
    {reg::kBaud, '2', kConfigurationAnswer, BaudCodeValid, DecodeBaud, true, false},
    {reg::kVersion, 'F', 9, nullptr, DecodeVersion, false, false},
    {reg::kName, 'M', 12, nullptr, DecodeName, false, false},
    {reg::kDI, '6', 5, nullptr, DecodeInput, false, false},
    {reg::kTemp, '0', kTemperatureAnswer, nullptr, DecodeTemperature, false, true},
};

const ReadRow* FindReadRow(int16_t registerCode) {
  for (const ReadRow& row : kReadRows)
    if (row.registerCode == registerCode) return &row;
  return nullptr;  // "DO" and unknown registers are read without traffic
}

// Register codes a write packet acts on.
bool IsWritable(uint8_t registerCode) {
  return registerCode == reg::kAddr || registerCode == reg::kBaud || registerCode == reg::kDO;
}

template <typename Item>
uint8_t RegisterOf(const Item& item) {
  return static_cast<uint8_t>(item.registerCode);
}

// --- Exchanges: each a fixed command and its answer's length -------------

// One answer, on the stack of the packet that asked for it.
struct Reply {
  char bytes[serial::kMaxAnswer];
  int32_t count = 0;
  Answer answer() const { return Answer{bytes, count}; }
};

// Sends `length` bytes of `command` and collects an answer of `answerLength`
// bytes (carriage return included) into `reply`. 1 when it came in time,
// begins with "!", echoes address `echo` and passes `fieldsOk` (when given);
// a refusal, another module's answer or one of another length fails. Where
// `mayBeBusy`, the short busy answer is an answer too; `changesModule` marks
// a command that moves the module to another address or rate.
int32_t Exchange(Bus& bus, const char* command, uint32_t length, int32_t answerLength, uint8_t echo, Reply& reply,
                 bool (*fieldsOk)(const Answer&) = nullptr, bool mayBeBusy = false, bool changesModule = false) {
  uint32_t got = 0;
  const uint16_t full = static_cast<uint16_t>(answerLength);
  const serial::AnswerPolicy policy = mayBeBusy       ? serial::Data7810BusyAnswerOf(full)
                                      : changesModule ? serial::Data7810ConfigurationAnswerOf(full)
                                                      : serial::Data7810AnswerOf(full);
  const int32_t ok = bus.line.Exchange(command, length, policy, reply.bytes, sizeof reply.bytes, &got);
  reply.count = static_cast<int32_t>(got);
  if (ok == 0) return 0;
  // Another module's answer (a late one, or one of a module set to the same
  // address) has the right length but not the address asked.
  const Answer a = reply.answer();
  return AnswerUsable(bus.line, reply.bytes, reply.count, false,
                      [&] { return a.At(0) == '!' && HexPair(a, 1) == echo && (fieldsOk == nullptr || fieldsOk(a)); })
             ? 1
             : 0;
}

int32_t Query(Bus& bus, uint8_t address, const ReadRow& row, Reply& reply) {
  char command[] = {'$', '0', '0', row.command, kCarriageReturn};
  protocol::ByteToHex(command + 1, address);
  return Exchange(bus, command, sizeof command, row.answerLength, address, reply, row.answerUsable, row.mayBeBusy);
}

// A busy module is asked again no sooner than its answer's wire time plus
// this pause after it was last asked. The module answers "N" while it
// converts, which takes far longer than one answer on the wire; asking it
// back to back only floods the bus that every other module shares. A tenth
// of a second keeps a busy module below ten commands a second at any baud
// rate, and delays its reading by at most that much past its conversion.
const uint32_t kBusyPauseMs = 100;

int32_t ReadTemperatures(Bus& bus, uint8_t address, const ReadRow& row, Reply& reply) {
  // A module still converting answers "N" at position 3 and is asked again
  // at a pace until it answers, but for no longer than one answer time-out
  // after its first busy answer: a module stuck in that state must not hold
  // the host's thread. The bound starts there, not at the first command,
  // because a short busy answer may itself have used up a whole time-out.
  serial::SerialLine& line = bus.line;
  platform::Clock& clock = line.clock();
  uint32_t askedAt = clock.TickMs();
  int32_t ok = Query(bus, address, row, reply);
  if (reply.answer().At(3) != 'N') return ok;
  const uint32_t bound = line.answerTimeoutMs > 0 ? static_cast<uint32_t>(line.answerTimeoutMs) : 0;
  const uint32_t giveUpAt = clock.TickMs() + bound;
  const uint32_t wireMs = (static_cast<uint32_t>(row.answerLength) * line.charTimeUs() + 999u) / 1000u;
  do {
    const uint32_t now = clock.TickMs();
    const uint32_t pace = platform::TickRemaining(now, askedAt + wireMs + kBusyPauseMs);
    const uint32_t left = platform::TickRemaining(now, giveUpAt);
    if (left == 0) {
      line.diagnostics.Fail(velk::kOutcomeBusyBound);
      return 0;
    }
    if (pace != 0) {
      clock.SleepMs(pace < left ? pace : left);
      continue;  // the bound is looked at again before the next ask
    }
    askedAt = clock.TickMs();
    ok = Query(bus, address, row, reply);
  } while (reply.answer().At(3) == 'N');
  return ok;
}

// Reads the configuration, then sends the "%" command that sets address
// `newAddress` and, when `newCodeOrNull` is given, that baud-rate code (two
// characters), keeping what the module reported otherwise.
int32_t SendConfiguration(Bus& bus, uint8_t address, uint8_t newAddress, const char* newCodeOrNull) {
  // The command repeats the module's baud code and data format, so they are
  // read first.
  Reply configuration;
  if (Query(bus, address, *FindReadRow(reg::kAddr), configuration) == 0) return 0;
  const Answer a = configuration.answer();
  char c[12];
  c[0] = '%';
  protocol::ByteToHex(c + 1, address);
  protocol::ByteToHex(c + 3, newAddress);
  c[5] = '0';  // where the answer had its type code
  c[6] = '0';
  c[7] = newCodeOrNull != nullptr ? newCodeOrNull[0] : a.At(5);
  c[8] = newCodeOrNull != nullptr ? newCodeOrNull[1] : a.At(6);
  c[9] = a.At(7);
  c[10] = a.At(8);
  c[11] = kCarriageReturn;
  // The module answers from its new address.
  Reply acknowledgement;
  return Exchange(bus, c, sizeof c, kAcknowledgement, newAddress, acknowledgement, nullptr, false, true);
}

int32_t SetBaudRate(Bus& bus, uint8_t address, uint32_t rate) {
  const uint8_t code = BaudCodeOfRate(rate);
  if (code == 0) {
    bus.line.diagnostics.Fail(velk::kOutcomeNotBuilt);
    return 0;
  }
  char digits[2];
  protocol::ByteToHex(digits, code);
  return SendConfiguration(bus, address, address, digits);
}

// Sends `outputs` as the module's output character; the family keeps the
// new state only once the module accepted it.
int32_t SetOutputs(Bus& bus, uint8_t address, uint8_t outputs) {
  char digits[2];
  protocol::ByteToHex(digits, outputs & 0x0F);
  char command[] = {'#', '0', '0', digits[1], kCarriageReturn};
  protocol::ByteToHex(command + 1, address);
  Reply acknowledgement;
  if (Exchange(bus, command, sizeof command, kAcknowledgement, address, acknowledgement) == 0) return 0;
  bus.data7810.outputs[address] = outputs;
  return 1;
}

// --- Packets --------------------------------------------------------------

template <typename Item>
int32_t ReadPacket(Bus& bus, velk::Packet& packet) {
  using Layout = ItemLayout<Item>;
  const ReadRow* row = FindReadRow(packet.registerCode);
  if (row == nullptr) return 1;
  const uint8_t address = static_cast<uint8_t>(packet.address);
  Reply reply;
  int32_t ok =
      row->registerCode == reg::kTemp ? ReadTemperatures(bus, address, *row, reply) : Query(bus, address, *row, reply);
  // Only a complete answer of the wrong lead (a refusal) earns the second
  // read: a silent module is not waited for twice.
  if (ok == 0 && row->secondTry && reply.count > 0 && reply.answer().At(0) != '!')
    ok = Query(bus, address, *row, reply);
  // A failed exchange or an answer the rules cannot use leaves every item as
  // it was: a zero-filled buffer must not reach the host as good values.
  if (ok == 0) return 0;
  const Answer answer = reply.answer();
  bool failed = false;
  protocol::ForEachItem<Item>(packet, [&](Item& item) {
    if (failed) return;
    switch (row->decode(answer, item.channel, item.value)) {
      case Reading::kStored: Layout::Stamp(item, Layout::Now()); break;
      case Reading::kNoReading: Layout::StampNoReading(item, Layout::Now()); break;
      case Reading::kFailed: failed = true; break;
    }
  });
  return failed ? 0 : 1;
}

template <typename Item>
int32_t WriteItem(Bus& bus, uint8_t address, Item& item) {
  switch (RegisterOf(item)) {
    case reg::kAddr: return SendConfiguration(bus, address, protocol::SlotByte(item.value), nullptr);
    case reg::kBaud: return SetBaudRate(bus, address, protocol::SlotU32(item.value));
    case reg::kDO: {
      // The output character is one hexadecimal digit: four outputs at most.
      if (item.channel < 0 || item.channel > 3) {
        bus.line.diagnostics.Fail(velk::kOutcomeNotBuilt);
        return 0;
      }
      const uint8_t bit = static_cast<uint8_t>(1u << item.channel);
      const uint8_t now = bus.data7810.outputs[address];
      return SetOutputs(bus, address,
                        static_cast<uint8_t>(protocol::SlotU32(item.value) != 0 ? now | bit : now & ~bit));
    }
    default: return 1;  // nothing to write for this register
  }
}

// The module is its own model group.
template <typename Item>
int32_t ProcessPacket(Bus& bus, velk::Packet& packet, const protocol::ModuleType&) {
  using Layout = ItemLayout<Item>;
  // A packet without items asks for nothing, and nothing goes on the line.
  if (protocol::FirstItem<Item>(packet) == nullptr) return 0;
  if (packet.direction == 0) return ReadPacket<Item>(bus, packet);
  const uint8_t address = static_cast<uint8_t>(packet.address);
  // An item is stamped only once its write went through; one without
  // anything to write only when the whole packet did.
  int32_t result = 1;
  protocol::ForEachItem<Item>(packet, [&](Item& item) {
    if (!IsWritable(RegisterOf(item))) return;
    const int32_t written = WriteItem(bus, address, item);
    if (written != 0) Layout::Stamp(item, Layout::Now());
    result &= written;
  });
  if (result != 0)
    protocol::ForEachItem<Item>(packet, [&](Item& item) {
      if (!IsWritable(RegisterOf(item))) Layout::Stamp(item, Layout::Now());
    });
  return result;
}

// The probe reads the module's version; the type name and the device record
// are not needed on this path (no checksums).
int32_t Probe(Bus& bus, const char* moduleType, int32_t address, velk::DeviceRecord* device) {
  OneItemRead<velk::TagItem> read(moduleType, address, device, reg::kVersion, 0, velk::kTypeByte);
  return ProcessPacket<velk::TagItem>(bus, read.packet, protocol::ModuleTypeOf(moduleType));
}

int32_t CanMerge(const velk::TagDef& tag, int32_t direction, velk::Packet& packet, const protocol::ModuleType&) {
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

protocol::TagParseResult ParseTag(const velk::TagConfig& config, velk::TagDef& def) {
  // The host has always received 1 for any failed Data7810 tag.
  const int16_t code = protocol::ParseData7810Tag(config, def);
  return protocol::TagParseResult{static_cast<int16_t>(code == 0 ? 0 : 1), code};
}

}  // namespace

uint8_t BaudCodeOfRate(uint32_t rate) {
  // Any other rate would program a neighbouring code, or one the module
  // cannot hold, and the module would drop off the line.
  for (uint8_t code = 3; code <= 8; ++code)
    if (rate == 1200u << (code - 3)) return code;
  return 0;
}

const Family kData7810 = {
    serial::kData7810Answer,
    ProcessPacket<velk::TagItem>,
    ProcessPacket<velk::TagItem2>,
    Probe,
    HasNoAlarm,
    CanMerge,
    ParseTag,
};

}  // namespace families
