#include "protocol/answer_form.h"

#include <string.h>

#include "protocol/encoding.h"

namespace protocol {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }
bool IsHex(char c) { return HexDigitValue(c) >= 0; }

// Commands whose "!" answer carries no address: the module puts its status
// bytes straight after the lead.
struct BareBangCommand {
  ModelGroup group;
  const char* letters;  // after the address, before checksum and carriage return
};
const BareBangCommand kBareBangCommands[] = {
    {ModelGroup::kVelk4051, "6"},
    {ModelGroup::kVelk4050, "6"},
};

// The command's letters after the address match `letters` exactly; what
// follows them is the checksum (two characters) or the carriage return.
bool LettersAre(const char* command, int32_t length, const char* letters) {
  const int32_t n = static_cast<int32_t>(strlen(letters));
  if (length < 3 + n + 1 || memcmp(command + 3, letters, static_cast<size_t>(n)) != 0) return false;
  const int32_t rest = length - 3 - n;
  return rest == 1 || (rest == 3 && IsUpperHex(command[3 + n]) && IsUpperHex(command[4 + n]));
}

}  // namespace

AnswerStart AnswerStartOf(ModelGroup group, const char* command, int32_t length) {
  if (command == nullptr || length < 3) return AnswerStart::kNone;
  if (memcmp(command, "#**", 3) == 0) return AnswerStart::kNone;
  if (command[0] == '#') return AnswerStart::kGreater;
  if (command[0] != '$' && command[0] != '@') return AnswerStart::kNone;
  for (const BareBangCommand& c : kBareBangCommands)
    if (c.group == group && LettersAre(command, length, c.letters)) return AnswerStart::kBang;
  return AnswerStart::kBangAddress;
}

bool AnswerStartOk(AnswerStart start, const char* answer, int32_t length, uint8_t address) {
  if (start == AnswerStart::kNone) return true;
  if (answer == nullptr || length < 1) return false;
  switch (start) {
    case AnswerStart::kGreater: return answer[0] == '>';
    case AnswerStart::kBang: return answer[0] == '!';
    case AnswerStart::kBangAddress:
      return answer[0] == '!' && length >= 3 && HexDigitValue(answer[1]) == (address >> 4) &&
             HexDigitValue(answer[2]) == (address & 0x0F);
    case AnswerStart::kNone: break;
  }
  return true;
}

bool HexFieldOk(const char* text, int32_t end, int32_t position, int32_t count) {
  if (text == nullptr || position < 0 || count < 0 || position + count > end) return false;
  for (int32_t i = position; i < position + count; ++i)
    if (!IsHex(text[i])) return false;
  return true;
}

bool UpperHexFieldOk(const char* text, int32_t end, int32_t position, int32_t count) {
  if (!HexFieldOk(text, end, position, count)) return false;
  for (int32_t i = position; i < position + count; ++i)
    if (!IsUpperHex(text[i])) return false;
  return true;
}

bool CharFieldOk(int32_t end, int32_t position) { return position >= 0 && position < end; }

bool FieldOk(const FieldForm& form, const char* text, int32_t end, int32_t position) {
  switch (form.kind) {
    case FieldKind::kChar: return CharFieldOk(end, position);
    case FieldKind::kHex: return HexFieldOk(text, end, position, form.maxDigits);
    case FieldKind::kUpperHex: return UpperHexFieldOk(text, end, position, form.maxDigits);
    case FieldKind::kDecimal: break;
  }
  if (text == nullptr || position < 0 || position >= end) return false;
  int32_t i = position;
  const bool signed_ = text[i] == '+' || text[i] == '-';
  if (signed_ ? form.sign == FieldSign::kNone : form.sign == FieldSign::kRequired) return false;
  if (signed_) ++i;
  int32_t digits = 0;
  bool point = false;
  for (; i < end; ++i) {
    if (IsDigit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && form.point && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits >= form.minDigits && digits <= form.maxDigits;
}

}  // namespace protocol
