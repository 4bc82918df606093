#include "sim/data7210_display.h"

#include <stdio.h>

#include "protocol/encoding.h"
#include "sim/command_pattern.h"

namespace sim {
namespace {

// Segment bytes of the characters a display can show; a segment lights on
// a 0 bit and bit 7 is the decimal point (dark here).
struct Glyph {
  uint8_t segments;
  char shown;
};

const Glyph kGlyphs[] = {
    {0xC0, '0'}, {0xF9, '1'}, {0xA4, '2'}, {0xB0, '3'}, {0x99, '4'}, {0x92, '5'}, {0x82, '6'},
    {0xF8, '7'}, {0x80, '8'}, {0x90, '9'}, {0xBF, '-'}, {0xFF, ' '}, {0xEF, '.'},
};

const uint8_t kPointBit = 0x80;
const size_t kPositions = 6;

std::string Hex2(uint32_t value) {
  char text[3] = {0, 0, 0};
  protocol::ByteToHex(text, static_cast<uint8_t>(value));
  return text;
}

}  // namespace

std::string DecodeSegments(const std::string& twelve) {
  std::string shown;
  for (size_t position = 0; position < kPositions && position * 2 + 1 < twelve.size(); ++position) {
    const int hi = protocol::HexDigitValue(twelve[position * 2]);
    const int lo = protocol::HexDigitValue(twelve[position * 2 + 1]);
    if (hi < 0 || lo < 0) {
      shown += '?';
      continue;
    }
    const uint8_t segments = static_cast<uint8_t>(hi * 16 + lo);
    char glyph = '?';
    for (const Glyph& g : kGlyphs)
      if (g.segments == (segments | kPointBit)) glyph = g.shown;
    shown += glyph;
    if ((segments & kPointBit) == 0) shown += '.';
  }
  const size_t first = shown.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : shown.substr(first);
}

Data7210Display::Data7210Display(uint8_t address, const std::string& typeName)
    : Module(ModuleKind::kData7210, typeName, address, false) {}

Data7210Registers Data7210Display::registers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_;
}

void Data7210Display::Update(const std::function<void(Data7210Registers&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(registers_);
}

std::string Data7210Display::Shown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_.shown;
}

void Data7210Display::Answer(const std::string& line, const LineContext&, std::string* answer, std::string* note) {
  answer->clear();
  if (line.size() < 3) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string address = line.substr(1, 2);
  const std::string rest = line.substr(3);
  Data7210Registers& r = registers_;
  std::string text;
  if (line[0] == '$' && rest == "2") {
    text = "!" + address + Hex2(r.typeCode) + Hex2(r.baudCode) + Hex2(r.formatCode);
  } else if (line[0] == '$' && rest == "F") {
    text = "!" + address + r.version;
  } else if (line[0] == '$' && rest == "M") {
    text = "!" + address + r.name;
  } else if (line[0] == '#' && rest.size() == kPositions * 2) {
    // Shown as received, even when a pair is not a segment pattern: the
    // display lights what it is told.
    r.segments = rest;
    r.shown = DecodeSegments(rest);
    ++r.writes;
    text = "!" + address;
  } else {
    *note = "unknown command";
    text = "?" + address;
  }
  *answer = text + '\r';
}

std::string Data7210Display::Summary(uint32_t) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (registers_.writes == 0) return "shows nothing yet";
  return "shows \"" + registers_.shown + "\"";
}

}  // namespace sim
