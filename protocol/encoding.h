// Hexadecimal text encoding and the checksum of the module protocol. Shared by
// command building, answer decoding and the bus simulator.
#ifndef VELK_PROTOCOL_ENCODING_H
#define VELK_PROTOCOL_ENCODING_H

#include <stddef.h>
#include <stdint.h>

namespace protocol {

// Writers put upper-case digits, most significant first; a null `dst` does
// nothing. Readers take '0'-'9' and 'A'-'F'; a null `src` gives 0.
void ByteToHex(char* dst, uint8_t value);
void WordToHex(char* dst, uint16_t value);
void DwordToHex(char* dst, uint32_t value);
uint8_t HexToByte(const char* src);
uint16_t HexToWord(const char* src);
uint32_t HexToDword(const char* src);
// Strict readers for answers whose digits are checked: the value of one
// digit, either case, and of two digits, high first; -1 for anything else.
int HexDigitValue(char c);
int HexPairValue(char high, char low);

// Low 8 bits of the sum of `count` bytes.
uint8_t ChecksumOf(const char* bytes, size_t count);

// True when an answer of `length` bytes (carriage return included) carries
// the checksum of its bytes 0..length-4 in the two characters before the
// carriage return. Fewer than three bytes never pass.
bool AnswerChecksumOk(const char* answer, int32_t length);

}  // namespace protocol

#endif
