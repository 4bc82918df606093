#include "text_encoding.h"

#include <stdint.h>

#include <stdio.h>

namespace hostlib {
namespace {

bool IsUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t follow = 0;
    if (c < 0x80)
      follow = 0;
    else if (c >= 0xC2 && c <= 0xDF)
      follow = 1;
    else if (c >= 0xE0 && c <= 0xEF)
      follow = 2;
    else if (c >= 0xF0 && c <= 0xF4)
      follow = 3;
    else
      return false;
    for (size_t k = 1; k <= follow; ++k) {
      if (i + k >= s.size()) return false;
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += follow + 1;
  }
  return true;
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F) {
      out += ch;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace

std::string DisplayText(const std::string& bytes) {
  if (IsUtf8(bytes)) return bytes;
  std::string converted;
  return ConvertFromCodePage936(bytes, &converted) ? converted : Escaped(bytes);
}

namespace {

// The code point starting at `text[*at]`, advancing `*at`; a stray byte
// counts as one character.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
  const unsigned char lead = static_cast<unsigned char>(text[*at]);
  const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
  if (length == 1 || *at + length > text.size()) {
    ++*at;
    return lead;
  }
  uint32_t code = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) code = code << 6 | (static_cast<unsigned char>(text[*at + k]) & 0x3F);
  *at += length;
  return code;
}

size_t CodePointWidth(uint32_t c) {
  if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F)) return 0;
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD))
    return 2;
  return 1;
}

}  // namespace

size_t DisplayWidth(const std::string& utf8) {
  size_t width = 0;
  for (size_t at = 0; at < utf8.size();) width += CodePointWidth(NextCodePoint(utf8, &at));
  return width;
}

std::string PadToWidth(const std::string& utf8, size_t width, bool right) {
  const size_t used = DisplayWidth(utf8);
  const std::string fill(used < width ? width - used : 0, ' ');
  return right ? fill + utf8 : utf8 + fill;
}

std::string CutToWidth(const std::string& utf8, size_t width) {
  if (DisplayWidth(utf8) <= width) return utf8;
  std::string cut;
  size_t used = 0;
  for (size_t at = 0; at < utf8.size();) {
    const size_t start = at;
    const size_t w = CodePointWidth(NextCodePoint(utf8, &at));
    if (used + w + 1 > width) break;
    cut.append(utf8, start, at - start);
    used += w;
  }
  return width > 0 ? cut + "~" : cut;
}

}  // namespace hostlib
