#include "protocol/command_builder.h"

#include <math.h>
#include <string.h>

#include "protocol/module_types.h"
#include "protocol/packet_items.h"
#include "protocol/encoding.h"

namespace protocol {
namespace {

enum Direction : int16_t { kRead = 0, kWrite = 1 };

// A row applies only when its condition holds; the first applicable row of
// an index and direction wins, so an unconditional row after conditional
// ones is their "otherwise". Value conditions compare the item's whole
// 32-bit value as an integer.
enum class When : uint8_t {
  kAlways,
  kValueNonZero,
  kValueOne,
  kLowByteZero,
  kLowByteOne,
  kChannelLowZero,
  kTypeBit,
  kTypeByte,
};

// The single-bit output write carries its checksum even on a device that
// does without: the modules accept that write only with one.
enum class Checksum : uint8_t { kByDevice, kAlways };

// A command text in the notation of the module protocol. Braces name the
// fields:
//   {AA}  module address, two hex digits      {hh}  low byte of the value, hex
//   {X8}  the value as 32-bit integer, hex    {c}   "0" + channel
//   {n}   "0" + channel - 1                   {h}   low hex digit of channelLow
//   {k}   "1" when channelLow is non-zero     {s}   sign of the float value
//   {F6}  "%06.3f" of the value               {A6}  "%06.3f" of its magnitude
//   {F7}  "%+07.3f" of the value              {I5}  "%+05i" of its low 16 bits
//   {bit} channel digit, 0..7 only            {one} "1" when the value is 1
struct CommandRow {
  int16_t index;  // register index within the module type's group
  int16_t direction;
  const char* text;
  When when = When::kAlways;
  Checksum checksum = Checksum::kByDevice;
};

// clang-format off
const CommandRow kVelk4011Commands[] = {
    {0, kRead,  "#{AA}"},                        // AI
    {1, kWrite, "${AA}0"},                       // SPANCAL
    {2, kWrite, "${AA}1"},                       // ZEROCAL
    {3, kRead,  "@{AA}DI"},                      // DO
    {3, kWrite, "@{AA}DO{hh}"},
    {4, kRead,  "@{AA}RH"},                      // AHI
    {4, kWrite, "@{AA}HI{F7}"},
    {5, kRead,  "@{AA}RL"},                      // ALO
    {5, kWrite, "@{AA}LO{F7}"},
    {6, kRead,  "@{AA}DI"},                      // AEA
    {6, kWrite, "@{AA}EAL", When::kValueNonZero},
    {6, kWrite, "@{AA}DA"},
    {7, kRead,  "@{AA}RE"},                      // EC
    {7, kWrite, "@{AA}CE"},
    {8, kRead,  "${AA}3"},                       // CJCVAL
    {9, kWrite, "${AA}9{I5}"},                   // CJCOFF
};

const CommandRow kVelk4017Commands[] = {
    {0, kRead,  "#{AA}{h}"},                     // AI
    {1, kWrite, "${AA}0"},                       // SPANCAL
    {2, kWrite, "${AA}1"},                       // ZEROCAL
    {3, kRead,  "${AA}6"},                       // MP
    {3, kWrite, "${AA}5{hh}"},
    {5, kRead,  "${AA}3"},                       // CJCVAL
    {6, kWrite, "${AA}9{I5}"},                   // CJCOFF
};

const CommandRow kVelk4021Commands[] = {
    {0, kRead,  "${AA}6"},                       // AO
    {0, kWrite, "#{AA}{F6}"},
    {1, kWrite, "${AA}0"},                       // CURCALF
    {2, kWrite, "${AA}1"},                       // CURCALT
    {3, kWrite, "${AA}3{hh}"},                   // TRIMCAL
};

const CommandRow kVelk4024Commands[] = {
    {0, kRead,  "${AA}6C{c}"},                   // AO
    {0, kWrite, "#{AA}C{c}{s}{A6}"},
    {1, kRead,  "${AA}I"},                       // DI
    {2, kRead,  "${AA}NC{c}"},                   // NC
    {2, kWrite, "${AA}0"},
    {3, kRead,  "${AA}OC{c}"},                   // OC
    {3, kWrite, "${AA}1"},
    {4, kRead,  "${AA}DC{c}"},                   // DC
    {4, kWrite, "#{AA}SC{c}{s}{A6}"},
    {5, kRead,  "${AA}EC{c}"},                   // EC
    {5, kWrite, "#{AA}EC{c}{s}{A6}"},
    {6, kWrite, "${AA}3{hh}"},                   // TRCAL
};

const CommandRow kVelk4051Commands[] = {
    {0, kRead,  "${AA}6"},                       // DI
};

const CommandRow kVelk4050Commands[] = {
    {0, kRead,  "${AA}6"},                       // DI
    {1, kRead,  "${AA}6"},                       // DO
    {1, kWrite, "#{AA}1{bit}0{one}", When::kTypeBit, Checksum::kAlways},
    {1, kWrite, "#{AA}00{hh}", When::kTypeByte},
};

const CommandRow kVelk4080Commands[] = {
    {0,  kRead,  "${AA}B"},                      // ISM
    {0,  kWrite, "${AA}B1", When::kValueNonZero},
    {0,  kWrite, "${AA}B0"},
    {1,  kRead,  "#{AA}{k}"},                    // PCVH
    {2,  kRead,  "#{AA}{k}"},                    // PCVL
    {3,  kRead,  "${AA}A"},                      // GM
    {3,  kWrite, "${AA}A0", When::kLowByteZero},
    {3,  kWrite, "${AA}A1", When::kLowByteOne},
    {3,  kWrite, "${AA}A2"},
    {4,  kRead,  "${AA}3{k}"},                   // MCV
    {4,  kWrite, "${AA}3{k}{X8}"},
    {5,  kRead,  "${AA}5{k}"},                   // CS
    {5,  kWrite, "${AA}5{k}1", When::kValueNonZero},
    {5,  kWrite, "${AA}5{k}0"},
    {6,  kWrite, "${AA}6{k}"},                   // CLSC
    {7,  kRead,  "@{AA}G{k}"},                   // ICV
    {7,  kWrite, "@{AA}P{k}{X8}"},
    {8,  kRead,  "@{AA}DI"},                     // AEA
    {8,  kWrite, "${AA}EA{k}", When::kValueNonZero},
    {8,  kWrite, "${AA}DA{k}"},
    {9,  kRead,  "@{AA}RP", When::kChannelLowZero},  // ALV
    {9,  kRead,  "@{AA}RA"},
    {9,  kWrite, "@{AA}PA{X8}", When::kChannelLowZero},
    {9,  kWrite, "@{AA}SA{X8}"},
    {10, kRead,  "@{AA}DI"},                     // DO
    {10, kWrite, "@{AA}DO{hh}"},
};

// Requests no row covers go out as the module's bare "$" AA.
const CommandRow kVelk4015Commands[] = {
    {0,  kRead,  "${AA}F"},                      // VERSION
    {1,  kRead,  "${AA}M"},                      // MODULE
    {2,  kRead,  "#{AA}"},                       // ADATAIN
    {3,  kRead,  "#{AA}{n}"},                    // NVALUE
    {4,  kRead,  "${AA}6"},                      // MULTIP
    {4,  kWrite, "${AA}5{hh}"},
    {5,  kWrite, "#**", When::kValueOne},        // SYNSAM: every module samples at once
    {6,  kRead,  "${AA}4"},                      // SYNDATA
    {7,  kRead,  "${AA}B"},                      // CDIAGNO
    {8,  kWrite, "${AA}0C{n}", When::kValueOne},  // SPCALI
    {9,  kWrite, "${AA}1C{n}", When::kValueOne},  // OFCALI
    {10, kWrite, "${AA}S0", When::kValueOne},    // INCALI
    {11, kWrite, "${AA}S1", When::kValueOne},    // DEFCALI
};
// clang-format on

struct GroupCommands {
  ModelGroup group;
  const CommandRow* rows;
  size_t count;
  const char* fallback;  // text of every request no row covers, or null
};

template <size_t N>
constexpr GroupCommands Commands(ModelGroup group, const CommandRow (&rows)[N], const char* fallback = nullptr) {
  return GroupCommands{group, rows, N, fallback};
}

const GroupCommands kGroupCommands[] = {
    Commands(ModelGroup::kVelk4011, kVelk4011Commands), Commands(ModelGroup::kVelk4017, kVelk4017Commands),
    Commands(ModelGroup::kVelk4021, kVelk4021Commands), Commands(ModelGroup::kVelk4024, kVelk4024Commands),
    Commands(ModelGroup::kVelk4051, kVelk4051Commands), Commands(ModelGroup::kVelk4050, kVelk4050Commands),
    Commands(ModelGroup::kVelk4080, kVelk4080Commands), Commands(ModelGroup::kVelk4015, kVelk4015Commands, "${AA}"),
};

const GroupCommands* CommandsOf(ModelGroup group) {
  for (const GroupCommands& f : kGroupCommands)
    if (f.group == group) return &f;
  return nullptr;
}

// Command text before checksum and carriage return.
const size_t kLongestText = static_cast<size_t>(kLongestCommand) - 3;

class TextWriter {
 public:
  bool Put(char c) {
    if (size_ >= kLongestText) return false;
    text_[size_++] = c;
    return true;
  }
  bool PutHexByte(uint8_t value) {
    char two[2];
    protocol::ByteToHex(two, value);
    return Put(two[0]) && Put(two[1]);
  }
  bool PutHexDword(uint32_t value) {
    char eight[8];
    protocol::DwordToHex(eight, value);
    for (char c : eight)
      if (!Put(c)) return false;
    return true;
  }
  // `sign` (0 for none), zeros, the decimal digits of `whole`, then
  // `fraction`: written only when that fills `width` exactly, since the
  // module reads a fixed number of characters and a longer text cut short
  // would be a different number.
  bool PutPadded(char sign, uint64_t whole, const char* fraction, size_t width) {
    char digits[24];
    size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + whole % 10);
      whole /= 10;
    } while (whole != 0);
    const size_t fractionLength = fraction ? strlen(fraction) : 0;
    const size_t length = (sign ? 1 : 0) + n + fractionLength;
    if (length > width) return false;
    if (sign && !Put(sign)) return false;
    for (size_t i = length; i < width; ++i)
      if (!Put('0')) return false;
    while (n > 0)
      if (!Put(digits[--n])) return false;
    for (size_t i = 0; i < fractionLength; ++i)
      if (!Put(fraction[i])) return false;
    return true;
  }
  const char* text() const { return text_; }
  size_t size() const { return size_; }

 private:
  char text_[kLongestText];
  size_t size_ = 0;
};

// printf's "%0<width>.3f" (with `forceSign`, "%+0<width>.3f"), written
// without the C library so that the host's locale never turns the point into
// a comma. A float times 1000 is exact in a double (24 + 10 bits), so the
// rounding below (to nearest, ties to even) sees the value printf sees.
bool PutFixed3(TextWriter& out, float value, bool forceSign, size_t width) {
  if (!isfinite(value)) return false;
  const double magnitude = fabs(static_cast<double>(value));
  if (magnitude >= 1e9) return false;  // far wider than any field
  const double scaled = magnitude * 1000.0;
  double thousandths = floor(scaled);
  const double rest = scaled - thousandths;
  if (rest > 0.5 || (rest == 0.5 && fmod(thousandths, 2.0) != 0.0)) thousandths += 1.0;
  const uint64_t count = static_cast<uint64_t>(thousandths);
  const unsigned fractionDigits = static_cast<unsigned>(count % 1000);
  const char fraction[5] = {'.', static_cast<char>('0' + fractionDigits / 100),
                            static_cast<char>('0' + fractionDigits / 10 % 10),
                            static_cast<char>('0' + fractionDigits % 10), '\0'};
  const char sign = signbit(value) ? '-' : (forceSign ? '+' : 0);
  return out.PutPadded(sign, count / 1000, fraction, width);
}

// printf's "%+05i" of a 16-bit value.
bool PutSignedInt5(TextWriter& out, int16_t value) {
  const int32_t v = value;
  return out.PutPadded(v < 0 ? '-' : '+', static_cast<uint64_t>(v < 0 ? -v : v), nullptr, 5);
}

// What a command may take from the packet and its first item, whichever
// layout the item has.
struct Operands {
  const velk::Packet& packet;
  int16_t channel;
  int16_t dataType;
  ValueSlot value;
  uint32_t Value() const { return SlotU32(value); }
  float FloatValue() const { return SlotFloat(value); }
  uint8_t ChannelByte() const { return static_cast<uint8_t>(channel); }
};

bool Applies(When when, const Operands& op) {
  switch (when) {
    case When::kAlways: return true;
    case When::kValueNonZero: return op.Value() != 0;
    case When::kValueOne: return op.Value() == 1;
    case When::kLowByteZero: return SlotByte(op.value) == 0;
    case When::kLowByteOne: return SlotByte(op.value) == 1;
    case When::kChannelLowZero: return op.packet.channelLow == 0;
    case When::kTypeBit: return op.dataType == velk::kTypeBit;
    case When::kTypeByte: return op.dataType == velk::kTypeByte;
  }
  return false;
}

struct FieldRow {
  const char* name;
  bool (*put)(TextWriter& out, const Operands& op);
};

// clang-format off
const FieldRow kFields[] = {
    {"AA",  [](TextWriter& out, const Operands& op) { return out.PutHexByte(static_cast<uint8_t>(op.packet.address)); }},
    {"hh",  [](TextWriter& out, const Operands& op) { return out.PutHexByte(SlotByte(op.value)); }},
    {"X8",  [](TextWriter& out, const Operands& op) { return out.PutHexDword(op.Value()); }},
    {"c",   [](TextWriter& out, const Operands& op) { return out.Put(static_cast<char>(48 + op.ChannelByte())); }},
    {"n",   [](TextWriter& out, const Operands& op) { return out.Put(static_cast<char>(47 + op.ChannelByte())); }},
    {"h",   [](TextWriter& out, const Operands& op) {
       char two[2];
       protocol::ByteToHex(two, static_cast<uint8_t>(op.packet.channelLow));
       return out.Put(two[1]);
     }},
    {"k",   [](TextWriter& out, const Operands& op) { return out.Put(op.packet.channelLow != 0 ? '1' : '0'); }},
    {"s",   [](TextWriter& out, const Operands& op) { return out.Put(op.FloatValue() >= 0.0f ? '+' : '-'); }},
    {"F6",  [](TextWriter& out, const Operands& op) { return PutFixed3(out, op.FloatValue(), false, 6); }},
    {"A6",  [](TextWriter& out, const Operands& op) { return PutFixed3(out, fabsf(op.FloatValue()), false, 6); }},
    {"F7",  [](TextWriter& out, const Operands& op) { return PutFixed3(out, op.FloatValue(), true, 7); }},
    {"I5",  [](TextWriter& out, const Operands& op) { return PutSignedInt5(out, SlotI16(op.value)); }},
    // Outputs 0..7 only: any other channel would leave the digit out and
    // the module would read a different output.
    {"bit", [](TextWriter& out, const Operands& op) {
       return op.channel >= 0 && op.channel <= 7 && out.Put(static_cast<char>('0' + op.channel));
     }},
    {"one", [](TextWriter& out, const Operands& op) { return out.Put(op.Value() == 1 ? '1' : '0'); }},
};
// clang-format on

bool PutField(TextWriter& out, const char* name, size_t nameLength, const Operands& op) {
  for (const FieldRow& f : kFields)
    if (f.name[0] == name[0] && strncmp(f.name, name, nameLength) == 0 && f.name[nameLength] == '\0')
      return f.put(out, op);
  return false;  // a field the tables do not define
}

bool PutText(TextWriter& out, const char* text, const Operands& op) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '{') {
      if (!out.Put(*p)) return false;
      continue;
    }
    const char* name = p + 1;
    const char* close = strchr(name, '}');
    if (close == nullptr || !PutField(out, name, static_cast<size_t>(close - name), op)) return false;
    p = close;
  }
  return true;
}

template <typename Item>
int32_t Build(const velk::Packet& packet, ModelGroup group, char* buffer, int32_t* length) {
  if (length == nullptr) return 0;
  *length = 0;
  const Item* first = FirstItem<Item>(packet);
  if (buffer == nullptr || first == nullptr) return 0;
  const GroupCommands* commands = CommandsOf(group);
  if (commands == nullptr) return 0;

  const Operands op{packet, first->channel, first->dataType, first->value};
  const CommandRow* row = nullptr;
  for (size_t i = 0; i < commands->count && row == nullptr; ++i) {
    const CommandRow& r = commands->rows[i];
    if (r.index == packet.registerCode && r.direction == packet.direction && Applies(r.when, op)) row = &r;
  }
  const char* text = row != nullptr ? row->text : commands->fallback;
  if (text == nullptr) return 0;

  TextWriter out;
  if (!PutText(out, text, op)) return 0;
  const bool deviceChecksum = packet.device == nullptr || packet.device->noChecksum == 0;
  const bool withChecksum = (row != nullptr && row->checksum == Checksum::kAlways) || deviceChecksum;

  size_t n = out.size();
  memcpy(buffer, out.text(), n);
  if (withChecksum) {
    protocol::ByteToHex(buffer + n, protocol::ChecksumOf(out.text(), n));
    n += 2;
  }
  buffer[n++] = '\r';
  *length = static_cast<int32_t>(n);
  return 1;
}

}  // namespace

int32_t BuildCommand(const velk::Packet& packet, ModelGroup group, char* buffer, int32_t* length) {
  return Build<velk::TagItem>(packet, group, buffer, length);
}

int32_t BuildCommand2(const velk::Packet& packet, ModelGroup group, char* buffer, int32_t* length) {
  return Build<velk::TagItem2>(packet, group, buffer, length);
}

}  // namespace protocol
