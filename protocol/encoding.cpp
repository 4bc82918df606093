#include "protocol/encoding.h"

namespace protocol {
namespace {

const char kDigits[] = "0123456789ABCDEF";

// '0'-'9' and 'A'-'F'; other characters give an unspecified nibble, never a
// read outside the table.
uint8_t Nibble(char c) {
  const int value = HexDigitValue(c);
  return static_cast<uint8_t>(value >= 0 ? value : static_cast<uint8_t>(c) & 0x0F);
}

}  // namespace

void ByteToHex(char* dst, uint8_t value) {
  if (dst == nullptr) return;
  dst[0] = kDigits[value >> 4];
  dst[1] = kDigits[value & 0x0F];
}

void WordToHex(char* dst, uint16_t value) {
  if (dst == nullptr) return;
  ByteToHex(dst, static_cast<uint8_t>(value >> 8));
  ByteToHex(dst + 2, static_cast<uint8_t>(value));
}

void DwordToHex(char* dst, uint32_t value) {
  if (dst == nullptr) return;
  WordToHex(dst, static_cast<uint16_t>(value >> 16));
  WordToHex(dst + 4, static_cast<uint16_t>(value));
}

uint8_t HexToByte(const char* src) {
  if (src == nullptr) return 0;
  return static_cast<uint8_t>((Nibble(src[0]) << 4) | Nibble(src[1]));
}

uint16_t HexToWord(const char* src) {
  if (src == nullptr) return 0;
  return static_cast<uint16_t>((HexToByte(src) << 8) | HexToByte(src + 2));
}

uint32_t HexToDword(const char* src) {
  if (src == nullptr) return 0;
  return (static_cast<uint32_t>(HexToWord(src)) << 16) | HexToWord(src + 4);
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int HexPairValue(char high, char low) {
  const int h = HexDigitValue(high);
  const int l = HexDigitValue(low);
  return (h < 0 || l < 0) ? -1 : h * 16 + l;
}

uint8_t ChecksumOf(const char* bytes, size_t count) {
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += static_cast<uint8_t>(bytes[i]);
  return static_cast<uint8_t>(sum);
}

bool AnswerChecksumOk(const char* answer, int32_t length) {
  if (answer == nullptr || length < 3) return false;
  const size_t body = static_cast<size_t>(length - 3);
  return ChecksumOf(answer, body) == HexToByte(answer + body);
}

}  // namespace protocol
