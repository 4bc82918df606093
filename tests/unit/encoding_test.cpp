#include <gtest/gtest.h>

#include <string>

#include "protocol/encoding.h"

namespace {

TEST(Encoding, WritersGiveUpperCaseMostSignificantFirst) {
  struct Case {
    uint32_t value;
    const char* byte;
    const char* word;
    const char* dword;
  } cases[] = {{0, "00", "0000", "00000000"},          {160, "A0", "00A0", "000000A0"},
               {255, "FF", "00FF", "000000FF"},        {0xBEEF, "EF", "BEEF", "0000BEEF"},
               {0x12345678, "78", "5678", "12345678"}, {0xFFFFFFFF, "FF", "FFFF", "FFFFFFFF"}};
  for (const Case& c : cases) {
    char text[9] = {};
    protocol::ByteToHex(text, static_cast<uint8_t>(c.value));
    EXPECT_EQ(std::string(text, 2), c.byte);
    protocol::WordToHex(text, static_cast<uint16_t>(c.value));
    EXPECT_EQ(std::string(text, 4), c.word);
    protocol::DwordToHex(text, c.value);
    EXPECT_EQ(std::string(text, 8), c.dword);
    // Each reader undoes the writer of its width.
    EXPECT_EQ(protocol::HexToDword(text), c.value);
    EXPECT_EQ(protocol::HexToWord(text + 4), static_cast<uint16_t>(c.value));
    EXPECT_EQ(protocol::HexToByte(text + 6), static_cast<uint8_t>(c.value));
  }
  EXPECT_EQ(protocol::HexToByte("7F"), 127);
  EXPECT_EQ(protocol::HexToByte(nullptr), 0);
  EXPECT_EQ(protocol::HexToDword(nullptr), 0u);
  protocol::DwordToHex(nullptr, 1);  // does nothing
}

TEST(Encoding, ChecksumOfTheProbeLine) {
  const char probe[] = "$01M";
  const uint8_t sum = protocol::ChecksumOf(probe, 4);
  EXPECT_EQ(sum, 210);
  char text[2];
  protocol::ByteToHex(text, sum);
  EXPECT_EQ(std::string(text, 2), "D2");

  // The answer check covers everything before the two checksum characters.
  EXPECT_TRUE(protocol::AnswerChecksumOk("$01MD2\r", 7));
  EXPECT_FALSE(protocol::AnswerChecksumOk("$01MD3\r", 7));
  EXPECT_FALSE(protocol::AnswerChecksumOk("D2", 2));
}

}  // namespace
