#include "text_encoding.h"

#include <stdio.h>

namespace velkhost {
namespace {

bool IsUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t follow = 0;
    if (c < 0x80) follow = 0;
    else if (c >= 0xC2 && c <= 0xDF) follow = 1;
    else if (c >= 0xE0 && c <= 0xEF) follow = 2;
    else if (c >= 0xF0 && c <= 0xF4) follow = 3;
    else return false;
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

}  // namespace velkhost
