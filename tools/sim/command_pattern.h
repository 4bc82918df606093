// The data fields of a command, written as a pattern of literal letters and
// fields, the way command tables write them: "HI{f7}", "3{d}{x8}".
//   {x}   one hex digit            {xx}  two hex digits (a byte)
//   {x8}  eight hex digits         {d}   one decimal digit
//   {f6}  "dd.ddd"                 {f7}  sign + "dd.ddd"
//   {i5}  sign + four decimal digits
// Hex digits are upper case, as the modules write and expect them.
#ifndef VELK_SIM_COMMAND_PATTERN_H
#define VELK_SIM_COMMAND_PATTERN_H

#include <stddef.h>
#include <stdint.h>

namespace sim {

struct CommandField {
  uint32_t number = 0;  // hex and digit fields; {i5} as two's complement
  int32_t integer = 0;  // {i5}, {d}
  double real = 0.0;    // {f6}, {f7}, {i5}
};

struct CommandArgs {
  static const int kMaxFields = 4;
  CommandField field[kMaxFields];
  int count = 0;
};

// True when `text` (of `length` characters) is exactly what `pattern`
// describes; the fields are stored in order.
bool MatchCommand(const char* pattern, const char* text, size_t length, CommandArgs* args);

}  // namespace sim

#endif
