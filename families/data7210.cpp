#include "datamodules/data7210.h"

#include <stdio.h>
#include <string.h>

#include <clocale>
#include <new>
#include <vector>

#include "platform/atoms.h"
#include "platform/file_time.h"
#include "protocol/packet_items.h"
#include "protocol/register_tables.h"

namespace datamodules {
namespace {

namespace reg = protocol::reg;

const char kCarriageReturn = '\r';
const uint32_t kAnswerSize = sizeof(Exchange::answer);
// The global atom table holds texts of at most this many characters.
const size_t kLongestAtomText = 255;

struct MapRow {
  const char* key;
  const char* value;
};

// Baud-rate code character of a configuration answer to the rate.
const MapRow kBaudCodes[] = {
    {"3", "1200"}, {"4", "2400"}, {"5", "4800"}, {"6", "9600"}, {"7", "19200"}, {"8", "38400"},
};

// Read in pairs as hexadecimal numbers, a display code gives the two
// characters sent for one digit; together they spell the digit's segment
// byte, a segment lighting on a 0 bit and bit 7 being the decimal point.
const MapRow kSegmentCodes[] = {
    {"0", "4330"}, {"1", "4639"}, {"2", "4134"}, {"3", "4230"}, {"4", "3939"}, {"5", "3932"},
    {"6", "3832"}, {"7", "4638"}, {"8", "3830"}, {"9", "3930"}, {".", "4546"}, {"-", "4246"},
};

// The fixed parts of the configuration text, in code page 936 as the host
// shows them: "module address:", " baud rate:", " no check", " sum check".
const char kModuleAddressText[] = "\xC4\xA3\xBF\xE9\xB5\xD8\xD6\xB7:";
const char kBaudRateText[] = " \xB2\xA8\xCC\xD8\xC2\xCA:";
const char kNoCheckText[] = " \xCE\xDE\xD0\xA3\xD1\xE9";
const char kSumCheckText[] = " \xC0\xDB\xBC\xD3\xD0\xA3\xD1\xE9";

// What arrived of one answer; positions past it are absent.
struct Answer {
  const char* bytes;
  uint32_t count;
  bool Has(uint32_t position) const { return position < count; }
};

void AppendPositions(std::string& text, const Answer& a, uint32_t first, uint32_t end) {
  for (uint32_t i = first; i < end && a.Has(i); ++i) text += a.bytes[i];
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The display address: "%X" of the channel, a single digit led by "0",
// otherwise its first two characters.
void PutDisplayAddress(char* at, int16_t channel) {
  char hex[16];
  snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(static_cast<int>(channel)));
  if (hex[1] == '\0') {
    at[0] = '0';
    at[1] = hex[0];
  } else {
    at[0] = hex[0];
    at[1] = hex[1];
  }
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

}  // namespace

Data7210::Data7210(serial::SerialLine& line) : line_(line), diagnostics_(line.diagnostics) {
  for (const MapRow& row : kBaudCodes) baudCodeMap[row.key] = row.value;
  for (const MapRow& row : kSegmentCodes) segmentMap[row.key] = row.value;
}

float Data7210::HexTextToNumber(const std::string& text) {
  double value = 0.0;
  for (char raw : text) {
    const char c = Upper(raw);
    int worth = 0;
    if (c >= 'A' && c <= 'F')
      worth = c - 'A' + 10;
    else if (c >= '0' && c <= '9')
      worth = c - '0';
    value = value * 16.0 + worth;
  }
  return static_cast<float>(value);
}

bool Data7210::DisplayCharacters(const char* text, char field[12]) const {
  std::string digits(text);
  const size_t point = digits.find('.');
  if (point != std::string::npos) digits.erase(point, 1);
  const size_t n = digits.size();
  // Every character takes one of the six positions: cutting the front would
  // show another number (a lost leading digit or minus sign).
  if (n > 6) return false;

  char codes[12];
  for (size_t i = 0; i < n; ++i) {
    // "nan", "inf" and the exponent of "%g" have no segments; blanks or
    // zero bytes in their place would show another number as well.
    const auto found = segmentMap.find(std::string(1, digits[i]));
    if (found == segmentMap.end()) return false;
    const std::string& code = found->second;
    const std::string last = code.size() > 2 ? code.substr(code.size() - 2) : code;
    codes[2 * i] = static_cast<char>(static_cast<int>(HexTextToNumber(code.substr(0, 2))));
    codes[2 * i + 1] = static_cast<char>(static_cast<int>(HexTextToNumber(last)));
  }
  // The point lights with the digit before it: bit 7 of that digit's
  // segment byte is cleared, which turns its high character from 8-F to 0-7.
  if (point != std::string::npos && point > 0) {
    char& high = codes[2 * (point - 1)];
    const int value = static_cast<int>(HexTextToNumber(std::string(1, high))) & 0x07;
    high = static_cast<char>('0' + value);
  }
  // Right-aligned in six positions; a blank position is "FF".
  const size_t blank = 2 * (6 - n);
  memset(field, 'F', blank);
  memcpy(field + blank, codes, 2 * n);
  return true;
}

int32_t Data7210::BuildData7210Command(const velk::Packet& packet, Exchange& exchange) {
  const velk::TagItem2* item = protocol::FirstItem<velk::TagItem2>(packet);
  if (item == nullptr) return 0;
  char* c = exchange.command;
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
    exchange.commandLength = 5;
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
    diagnostics_.Fail(velk::kOutcomeNotBuilt);
    return 0;
  }
  c[15] = kCarriageReturn;
  exchange.commandLength = 16;
  return 1;
}

int32_t Data7210::RunExchange(const velk::Packet& packet, Exchange& exchange) {
  const uint32_t capacity = exchange.answerCapacity < kAnswerSize ? exchange.answerCapacity : kAnswerSize;
  exchange.answerCapacity = 0;
  uint32_t received = 0;
  const int32_t ok = line_.Exchange(exchange.command, exchange.commandLength, serial::kData7210Answer,
                                    exchange.answer, capacity, &received);
  exchange.answerCapacity = received;
  if (ok == 0) return 0;
  if (exchange.answer[0] == '?') {
    // The host sees a refused read or write fail, with its items as they
    // were, through either interface.
    diagnostics_.Fail(velk::kOutcomeRefused);
    return 0;
  }
  if (!AnswerFits(packet, exchange)) {
    diagnostics_.Fail(velk::kOutcomeBadAnswer);
    line_.MarkAnswerBad();
    return 0;
  }
  return 1;
}

bool Data7210::AnswerFits(const velk::Packet& packet, const Exchange& exchange) {
  // Characters before the carriage return.
  const uint32_t n = exchange.answerCapacity > 0 ? exchange.answerCapacity - 1 : 0;
  const char* a = exchange.answer;
  // "!" and the address of the display asked, as the command carried it.
  if (n < 3 || a[0] != '!' || Upper(a[1]) != exchange.command[1] || Upper(a[2]) != exchange.command[2]) return false;
  if (packet.direction != 0) return true;
  // Every position the decoding reads must have arrived.
  switch (packet.registerCode) {
    case reg::kCfgStaT: return n >= 9;  // address, type, baud code, data format
    case reg::kMdVerF: return n >= 8;   // five characters of version
    default: return true;               // the name runs up to the carriage return
  }
}

int32_t Data7210::DecodeData7210Answer(velk::Packet& packet, const Exchange& exchange) {
  const uint64_t now = platform::FileTimeNow();
  if (packet.direction != 0) {
    protocol::ForEachItem<velk::TagItem2>(packet, [&](velk::TagItem2& item) { protocol::StampItem(item, now); });
    return 1;
  }
  velk::TagItem2* item = protocol::FirstItem<velk::TagItem2>(packet);
  if (item == nullptr) return 1;

  // The fields are read from what arrived before the closing carriage
  // return; a short answer simply has fewer of them.
  const uint32_t received = exchange.answerCapacity < kAnswerSize ? exchange.answerCapacity : kAnswerSize;
  const bool closed = received > 0 && exchange.answer[received - 1] == kCarriageReturn;
  const Answer a{exchange.answer, closed ? received - 1 : received};
  std::string text;
  switch (packet.registerCode) {
    case reg::kCfgStaT: {
      text = kModuleAddressText;
      AppendPositions(text, a, 1, 3);
      text += kBaudRateText;
      if (a.Has(6)) {
        const auto rate = baudCodeMap.find(std::string(1, a.bytes[6]));
        if (rate != baudCodeMap.end()) text += rate->second;
      }
      text += (a.Has(7) && Upper(a.bytes[7]) == 'F') ? kNoCheckText : kSumCheckText;
      break;
    }
    case reg::kMdVerF: AppendPositions(text, a, 3, 8); break;
    case reg::kMdNameM:
      if (received > 0) AppendPositions(text, a, 3, received - 1);  // all but the last byte
      break;
    default: return 1;
  }
  if (text.size() > kLongestAtomText) text.resize(kLongestAtomText);
  // An empty text has no atom and stores 0; a text the full atom table
  // cannot take fails the read instead of handing the host atom 0.
  const uint16_t atom = platform::AddGlobalAtom(text.c_str());
  if (atom == 0 && !text.empty()) return 0;
  protocol::StampItem(*item, now);
  protocol::StoreHalf(item->value, atom);
  return 1;
}

int32_t Data7210::ProcessData7210Packet2(velk::Packet& packet) {
  Exchange exchange{};
  exchange.answerCapacity = kAnswerSize;
  if (BuildData7210Command(packet, exchange) == 0) return 0;
  if (RunExchange(packet, exchange) == 0) return 0;
  return DecodeData7210Answer(packet, exchange);
}

int32_t Data7210::ProcessData7210Packet(velk::Packet& packet) {
  // The IDriver form runs the IDriver2 path on converted copies of the items
  // and hands back the values of those that came back good.
  try {
    std::vector<velk::TagItem*> hostItems;
    protocol::ForEachItem<velk::TagItem>(packet, [&](velk::TagItem& item) { hostItems.push_back(&item); });
    std::vector<velk::TagItem2> copies(hostItems.size());
    std::vector<velk::PtrListNode> nodes(hostItems.size());
    for (size_t i = 0; i < hostItems.size(); ++i) {
      velk::TagItem2& copy = copies[i];
      copy = velk::TagItem2{};
      copy.hostField0 = hostItems[i]->hostField0;
      copy.channel = hostItems[i]->channel;
      copy.dataType = hostItems[i]->dataType;
      copy.value = hostItems[i]->value;
      copy.registerCode = hostItems[i]->registerCode;
      copy.quality = 0;
      nodes[i] = velk::PtrListNode{i + 1 < nodes.size() ? &nodes[i + 1] : nullptr, i > 0 ? &nodes[i - 1] : nullptr,
                                   &copy};
    }
    velk::Packet converted = packet;
    converted.items = velk::PtrList{};
    if (!nodes.empty()) {
      converted.items.head = &nodes.front();
      converted.items.tail = &nodes.back();
    }
    converted.items.count = static_cast<int32_t>(nodes.size());

    int32_t result = ProcessData7210Packet2(converted);
    if (result == 0) return 0;
    for (size_t i = 0; i < hostItems.size(); ++i) {
      if (copies[i].quality != velk::kQualityGood) return 0;
      hostItems[i]->value = copies[i].value;
    }
    return result;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int32_t Data7210::ProbeData7210(const char* typeName, int32_t address, velk::DeviceRecord* device) {
  // A configuration read of display 02, shaped by the first probe row.
  const velk::RegisterDef& row = protocol::kData7210ProbeGroup.rows[0];
  velk::TagItem2 item{};
  item.channel = 2;
  item.dataType = static_cast<int16_t>(row.typeMask & -row.typeMask);
  item.registerCode = reg::kCfgStaT;
  velk::PtrListNode node{nullptr, nullptr, &item};
  velk::Packet packet{};
  packet.address = static_cast<int16_t>(address);
  packet.device = device;
  packet.moduleType = typeName;
  packet.registerName = row.name;
  packet.registerCode = reg::kCfgStaT;
  packet.channelLow = row.minChannel;
  packet.channelHigh = row.minChannel;
  packet.direction = 0;
  packet.items.head = &node;
  packet.items.tail = &node;
  packet.items.count = 1;
  const int32_t result = ProcessData7210Packet2(packet);
  // A display that does not answer may sit behind a port that went away:
  // start the line over from its settings. Whether that worked shows in
  // the next exchange.
  if (result == 0) line_.Reopen();
  return result;
}

int32_t Data7210::CanMergeData7210(const velk::TagDef&, int32_t, velk::Packet&) {
  // Every display tag travels alone: the command takes its address from the
  // first item.
  return 0;
}

}  // namespace datamodules
