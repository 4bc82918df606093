// Data7210 seven-segment display modules. The channel of a tag is the
// address of its display.
#include "families/family.h"

#include <stdio.h>
#include <string.h>

#include <clocale>

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
// The global atom table holds texts of at most this many characters.
const size_t kLongestAtomText = 255;

// Baud-rate code character of a configuration answer to the rate.
struct BaudRow {
  char code;
  const char* rate;
};
constexpr BaudRow kBaudCodes[] = {
    {'3', "1200"}, {'4', "2400"}, {'5', "4800"}, {'6', "9600"}, {'7', "19200"}, {'8', "38400"},
};

// The segment byte of each character a display can show, sent as two
// hexadecimal digits: a segment lights on a 0 bit, and bit 7 is the point.
struct SegmentRow {
  char character;
  uint8_t segments;
};
constexpr SegmentRow kSegmentCodes[] = {
    {'0', 0xC0}, {'1', 0xF9}, {'2', 0xA4}, {'3', 0xB0}, {'4', 0x99}, {'5', 0x92},
    {'6', 0x82}, {'7', 0xF8}, {'8', 0x80}, {'9', 0x90}, {'.', 0xEF}, {'-', 0xBF},
};
const uint8_t kPointLit = 0x7F;  // clears bit 7 of the digit before the point

// The fixed parts of the configuration text, in code page 936 as the host
// shows them: "module address:", " baud rate:", " no check", " sum check".
const char kModuleAddressText[] = "\xC4\xA3\xBF\xE9\xB5\xD8\xD6\xB7:";
const char kBaudRateText[] = " \xB2\xA8\xCC\xD8\xC2\xCA:";
const char kNoCheckText[] = " \xCE\xDE\xD0\xA3\xD1\xE9";
const char kSumCheckText[] = " \xC0\xDB\xBC\xD3\xD0\xA3\xD1\xE9";

// One command and its answer, on the stack of the packet.
struct Dialogue {
  char command[16];
  uint32_t commandLength = 0;
  char answer[serial::kMaxAnswer];
  uint32_t answerLength = 0;
};

// What arrived of one answer; positions past it are absent.
struct Answer {
  const char* bytes;
  uint32_t count;
  bool Has(uint32_t position) const { return position < count; }
};

// A text for the host's atom table, cut at the longest text it holds.
class AtomText {
 public:
  void Append(const char* text) {
    for (; *text != '\0'; ++text) Append(*text);
  }
  void Append(char c) {
    if (size_ < kLongestAtomText) bytes_[size_++] = c;
  }
  void AppendPositions(const Answer& a, uint32_t first, uint32_t end) {
    for (uint32_t i = first; i < end && a.Has(i); ++i) Append(a.bytes[i]);
  }
  const char* c_str() {
    bytes_[size_] = '\0';
    return bytes_;
  }
  bool empty() const { return size_ == 0; }

 private:
  char bytes_[kLongestAtomText + 1];
  size_t size_ = 0;
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The display address: the channel in hexadecimal, a single digit led by
// "0", otherwise its two leading digits.
void PutDisplayAddress(char* at, int16_t channel) {
  uint32_t digits = static_cast<uint32_t>(static_cast<int32_t>(channel));
  while (digits > 0xFF) digits >>= 4;
  protocol::ByteToHex(at, static_cast<uint8_t>(digits));
}

// printf follows the process's locale, which the host may have set; the
// display only knows ".".
void UsePointAsDecimalSeparator(char* text) {
  const std::lconv* conv = std::localeconv();
  const char separator = conv != nullptr && conv->decimal_point != nullptr ? conv->decimal_point[0] : '.';
  if (separator == '.' || separator == '\0') return;
  char* at = strchr(text, separator);
  if (at != nullptr) *at = '.';
}

const SegmentRow* SegmentOf(char c) {
  for (const SegmentRow& row : kSegmentCodes)
    if (row.character == c) return &row;
  return nullptr;
}

// The twelve display characters for `text`; false when the display cannot
// show it: a character without a segment code ("nan", "inf" and the exponent
// of "%g"), or more than six positions once the point is removed. Cutting
// the front, or blanks in place of a character, would show another number.
bool DisplayCharacters(const char* text, char field[12]) {
  const char* point = strchr(text, '.');
  uint8_t segments[6];
  size_t n = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (c == point) continue;
    const SegmentRow* row = SegmentOf(*c);
    if (row == nullptr || n == 6) return false;
    // The point lights with the digit before it.
    segments[n++] = c + 1 == point ? row->segments & kPointLit : row->segments;
  }
  // Right-aligned in six positions; a blank position is "FF".
  const size_t blank = 2 * (6 - n);
  memset(field, 'F', blank);
  for (size_t i = 0; i < n; ++i) protocol::ByteToHex(field + blank + 2 * i, segments[i]);
  return true;
}

// The packet's first item selects the command.
template <typename Item>
int32_t BuildCommand(Bus& bus, const velk::Packet& packet, Dialogue& d) {
  const Item* item = protocol::FirstItem<Item>(packet);
  if (item == nullptr) return 0;
  char* c = d.command;
  if (packet.direction == 0) {
    char command = 0;
    switch (packet.registerCode) {
      case reg::kCfgStaT: command = '2'; break;
      case reg::kMdVerF: command = 'F'; break;
      case reg::kMdNameM: command = 'M'; break;
      default: return 0;
    }
    c[0] = '$';
    PutDisplayAddress(c + 1, item->channel);
    c[3] = command;
    c[4] = kCarriageReturn;
    d.commandLength = 5;
    return 1;
  }
  if (packet.direction != 1 || packet.registerCode != reg::kSetDat) return 0;

  float number = 0.0f;
  const char* format = "%g";
  switch (item->dataType) {
    case velk::kTypeShort: number = static_cast<float>(protocol::SlotI16(item->value)); break;
    case velk::kTypeWord: number = static_cast<float>(protocol::SlotU32(item->value)); break;
    case velk::kTypeFloat:
      number = protocol::SlotFloat(item->value);
      switch (packet.decimals) {
        case 1: format = "%.1f"; break;
        case 2: format = "%.2f"; break;
        case 3: format = "%.3f"; break;
        default: break;
      }
      break;
    default: break;  // shows 0
  }
  char text[64];
  const int length = snprintf(text, sizeof text, format, static_cast<double>(number));
  if (length < 0 || length >= static_cast<int>(sizeof text)) return 0;
  UsePointAsDecimalSeparator(text);

  c[0] = '#';
  PutDisplayAddress(c + 1, item->channel);
  if (!DisplayCharacters(text, c + 3)) {
    bus.line.diagnostics.Fail(velk::kOutcomeNotBuilt);
    return 0;
  }
  c[15] = kCarriageReturn;
  d.commandLength = 16;
  return 1;
}

bool AnswerFits(const velk::Packet& packet, const Dialogue& d) {
  // Characters before the carriage return.
  const uint32_t n = d.answerLength > 0 ? d.answerLength - 1 : 0;
  const char* a = d.answer;
  // "!" and the address of the display asked, as the command carried it.
  if (n < 3 || a[0] != '!' || Upper(a[1]) != d.command[1] || Upper(a[2]) != d.command[2]) return false;
  if (packet.direction != 0) return true;
  // Every position the decoding reads must have arrived.
  switch (packet.registerCode) {
    case reg::kCfgStaT: return n >= 9;  // address, type, baud code, data format
    case reg::kMdVerF: return n >= 8;   // five characters of version
    default: return true;               // the name runs up to the carriage return
  }
}

// 1 when a complete answer came in time that is not a refusal, echoes the
// display's address and holds every field the decoding reads.
int32_t Exchange(Bus& bus, const velk::Packet& packet, Dialogue& d) {
  const int32_t ok =
      bus.line.Exchange(d.command, d.commandLength, kData7210.answerPolicy, d.answer, sizeof d.answer, &d.answerLength);
  if (ok == 0) return 0;
  // A refused read or write fails, with its items as they were.
  return AnswerUsable(bus.line, d.answer, static_cast<int32_t>(d.answerLength), false,
                      [&] { return AnswerFits(packet, d); })
             ? 1
             : 0;
}

// The text a read of `registerCode` makes of the answer; false for a
// register without one. The fields are read from what arrived before the
// closing carriage return; a short answer simply has fewer of them.
bool TextOfAnswer(int16_t registerCode, const Dialogue& d, AtomText& text) {
  const uint32_t received = d.answerLength;
  const bool closed = received > 0 && d.answer[received - 1] == kCarriageReturn;
  const Answer a{d.answer, closed ? received - 1 : received};
  switch (registerCode) {
    case reg::kCfgStaT:
      text.Append(kModuleAddressText);
      text.AppendPositions(a, 1, 3);
      text.Append(kBaudRateText);
      for (const BaudRow& row : kBaudCodes)
        if (a.Has(6) && a.bytes[6] == row.code) text.Append(row.rate);
      text.Append((a.Has(7) && Upper(a.bytes[7]) == 'F') ? kNoCheckText : kSumCheckText);
      return true;
    case reg::kMdVerF: text.AppendPositions(a, 3, 8); return true;
    case reg::kMdNameM:
      if (received > 0) text.AppendPositions(a, 3, received - 1);  // all but the last byte
      return true;
    default: return false;
  }
}

// A write stamps every item; a read answers the packet's first item only.
template <typename Item>
int32_t Decode(velk::Packet& packet, const Dialogue& d) {
  using Layout = ItemLayout<Item>;
  const uint64_t now = Layout::Now();
  if (packet.direction != 0) {
    protocol::ForEachItem<Item>(packet, [&](Item& item) { Layout::Stamp(item, now); });
    return 1;
  }
  Item* item = protocol::FirstItem<Item>(packet);
  AtomText text;
  if (item == nullptr || !TextOfAnswer(packet.registerCode, d, text)) return 1;
  // An empty text has no atom and stores 0; a text the full atom table
  // cannot take fails the read instead of handing the host atom 0.
  const uint16_t atom = platform::AddGlobalAtom(text.c_str());
  if (atom == 0 && !text.empty()) return 0;
  Layout::Stamp(*item, now);
  protocol::StoreHalf(item->value, atom);
  // Items after the first get no value: under IDriver2 they keep their
  // quality, under IDriver, which has none, the packet fails.
  int32_t items = 0;
  protocol::ForEachItem<Item>(packet, [&](Item&) { ++items; });
  return Layout::kHasQuality || items <= 1 ? 1 : 0;
}

// The display is its own model group.
template <typename Item>
int32_t ProcessPacket(Bus& bus, velk::Packet& packet, const protocol::ModuleType&) {
  Dialogue dialogue;
  if (BuildCommand<Item>(bus, packet, dialogue) == 0) return 0;
  if (Exchange(bus, packet, dialogue) == 0) return 0;
  return Decode<Item>(packet, dialogue);
}

// Reads the configuration of display 02, whatever address is passed; on
// failure the line opens its port again from its settings.
int32_t Probe(Bus& bus, const char* moduleType, int32_t address, velk::DeviceRecord* device) {
  // A configuration read, shaped by the first probe row.
  const velk::RegisterDef& row = protocol::kData7210ProbeRegisters.rows[0];
  const int16_t dataType = static_cast<int16_t>(row.typeMask & -row.typeMask);
  OneItemRead<velk::TagItem2> read(moduleType, address, device, reg::kCfgStaT, 2, dataType);
  read.packet.registerName = row.name;
  read.packet.channelLow = row.minChannel;
  read.packet.channelHigh = row.minChannel;
  const int32_t result = ProcessPacket<velk::TagItem2>(bus, read.packet, protocol::ModuleTypeOf(moduleType));
  // A display that does not answer may sit behind a port that went away:
  // start the line over from its settings. Whether that worked shows in
  // the next exchange.
  if (result == 0) bus.line.Reopen();
  return result;
}

// Every display tag travels alone: the command takes its address from the
// first item.
int32_t CanMerge(const velk::TagDef&, int32_t, velk::Packet&, const protocol::ModuleType&) { return 0; }

protocol::TagParseResult ParseTag(const velk::TagConfig& config, velk::TagDef& def) {
  const int16_t code = protocol::ParseData7210Tag(config, def);
  return protocol::TagParseResult{code, code};
}

}  // namespace

const Family kData7210 = {
    serial::kData7210Answer,
    ProcessPacket<velk::TagItem>,
    ProcessPacket<velk::TagItem2>,
    Probe,
    HasNoAlarm,
    CanMerge,
    ParseTag,
};

}  // namespace families
