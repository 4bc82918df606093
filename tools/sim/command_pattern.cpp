#include "sim/command_pattern.h"

#include <stdlib.h>
#include <string.h>

#include <string>

namespace sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "dd.ddd" at `text`.
bool IsFixed(const char* text) {
  return IsDigit(text[0]) && IsDigit(text[1]) && text[2] == '.' && IsDigit(text[3]) && IsDigit(text[4]) &&
         IsDigit(text[5]);
}

bool IsSign(char c) { return c == '+' || c == '-'; }

double Decimal(const char* text, size_t length) { return strtod(std::string(text, length).c_str(), nullptr); }

// Reads the field named `name` at `text`; returns its width or 0.
size_t ReadField(const char* name, size_t nameLength, const char* text, size_t left, CommandField* field) {
  auto is = [&](const char* n) { return strlen(n) == nameLength && memcmp(n, name, nameLength) == 0; };
  if (is("x") || is("xx") || is("x8")) {
    const size_t width = is("x") ? 1 : is("xx") ? 2 : 8;
    if (left < width) return 0;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
      const int digit = HexValue(text[i]);
      if (digit < 0) return 0;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    field->number = value;
    return width;
  }
  if (is("d")) {
    if (left < 1 || !IsDigit(text[0])) return 0;
    field->number = static_cast<uint32_t>(text[0] - '0');
    field->integer = text[0] - '0';
    return 1;
  }
  if (is("f6")) {
    if (left < 6 || !IsFixed(text)) return 0;
    field->real = Decimal(text, 6);
    return 6;
  }
  if (is("f7")) {
    if (left < 7 || !IsSign(text[0]) || !IsFixed(text + 1)) return 0;
    field->real = Decimal(text, 7);
    return 7;
  }
  if (is("i5")) {
    if (left < 5 || !IsSign(text[0])) return 0;
    for (int i = 1; i < 5; ++i)
      if (!IsDigit(text[i])) return 0;
    field->integer = atoi(std::string(text, 5).c_str());
    field->number = static_cast<uint32_t>(field->integer);
    field->real = field->integer;
    return 5;
  }
  return 0;
}

}  // namespace

bool MatchCommand(const char* pattern, const char* text, size_t length, CommandArgs* args) {
  args->count = 0;
  size_t at = 0;
  for (const char* p = pattern; *p != '\0';) {
    if (*p != '{') {
      if (at >= length || text[at] != *p) return false;
      ++at;
      ++p;
      continue;
    }
    const char* close = strchr(p, '}');
    if (close == nullptr || args->count >= CommandArgs::kMaxFields) return false;
    CommandField field;
    const size_t width = ReadField(p + 1, static_cast<size_t>(close - p - 1), text + at, length - at, &field);
    if (width == 0) return false;
    args->field[args->count++] = field;
    at += width;
    p = close + 1;
  }
  return at == length;
}

}  // namespace sim
