#include "protocol/text_to_number.h"

namespace protocol {

bool TextToNumber(const char* text, int32_t* out, size_t maxLength) {
  if (text == nullptr || out == nullptr) return false;
  size_t length = 0;
  while (length < maxLength && text[length] != '\0') {
    const char c = text[length];
    if (c != '-' && (c < '0' || c > '9')) return false;
    ++length;
  }
  if (length == 0) return false;
  size_t i = 0;
  const bool negative = text[0] == '-';
  if (negative) ++i;
  if (i >= length || text[i] < '0' || text[i] > '9') return false;
  int64_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  if (value > 2147483647LL || value < -2147483647LL - 1) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace protocol
