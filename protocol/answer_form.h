// The form an answer of a "Velk" module must have before anything is taken
// from it: the lead character its command calls for, the address it echoes,
// and fields that hold what their decoding reads. Pure text: no I/O, no
// allocation.
#ifndef VELK_PROTOCOL_ANSWER_FORM_H
#define VELK_PROTOCOL_ANSWER_FORM_H

#include <stdint.h>

#include "protocol/module_types.h"

namespace protocol {

// How the answer to a command begins.
enum class AnswerStart : uint8_t {
  kNone,         // no answer is awaited (a broadcast)
  kGreater,      // ">" and data
  kBang,         // "!" and data
  kBangAddress,  // "!", the two address characters of the command, data
};

// The start the answer to `command` (a whole command line of model group `group`, as
// built) must have: ">" for a "#" command, "!" and the address for a "$" or
// "@" command, except the digital modules' status read, whose "!" is
// followed by data at once.
AnswerStart AnswerStartOf(ModelGroup group, const char* command, int32_t length);

// True when `answer` (`length` bytes) begins as `start` says; `address` is
// the module address the command named. A "?" is never a valid start: the
// caller takes it as a refusal first.
bool AnswerStartOk(AnswerStart start, const char* answer, int32_t length, uint8_t address);

// Field checks. `text` holds the answer's data up to `end` (exclusive: the
// checksum, the carriage return and anything cut off lie at or beyond it).
// Each is true when the characters a decoding rule reads from `position`
// exist before `end` and are of the kind it reads.

// `count` hexadecimal digits ("0"-"9", "A"-"F", "a"-"f").
bool HexFieldOk(const char* text, int32_t end, int32_t position, int32_t count);
// Upper-case hexadecimal digits only: the reading that takes letters by
// their code ("A" is 10) gives nonsense for any other character.
bool UpperHexFieldOk(const char* text, int32_t end, int32_t position, int32_t count);
// One character, of any kind.
bool CharFieldOk(int32_t end, int32_t position);
// What a decimal or hexadecimal field holds and how wide the module sends
// it. A decimal field runs to `end`: a module without checksums must not
// read the characters that follow it as more digits.
enum class FieldKind : uint8_t {
  kDecimal,   // digits, with a sign and a point where the form allows them
  kHex,       // hexadecimal digits of either case
  kUpperHex,  // "0"-"9", "A"-"F" only: the reading takes letters by their code
  kChar,      // one character of any kind
};
enum class FieldSign : uint8_t { kNone, kOptional, kRequired };

struct FieldForm {
  FieldKind kind;
  FieldSign sign;
  int8_t minDigits;  // kDecimal: fewer is a field cut short
  int8_t maxDigits;  // kDecimal: more is something else run on; kHex: the digits read
  bool point;        // kDecimal: one point may stand among the digits
};

// True when the field of `form` at `position` lies whole before `end`.
bool FieldOk(const FieldForm& form, const char* text, int32_t end, int32_t position);

}  // namespace protocol

#endif
