// Answers to stored values, per group. Every slot starts filled with a
// pattern, so a store of the wrong width shows in the bytes it left alone.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>

#include <random>
#include <string>

#include "families/velk_answer_decoding.h"
#include "support/packet_builder.h"

namespace {

using testsupport::BitsFloat;
using testsupport::FloatBits;
using testsupport::HostPacket;
using testsupport::SlotBits;

const uint32_t kPrefill = 0xCCCCCCCCu;
const int16_t kBit = velk::kTypeBit;
const int16_t kByte = velk::kTypeByte;
const int16_t kShort = velk::kTypeShort;
const int16_t kWord = velk::kTypeWord;
const int16_t kLong = velk::kTypeLong;
const int16_t kFloat = velk::kTypeFloat;

enum Via { kBoth, kDriverOnly, kDriver2Only };

struct DecodeCase {
  const char* type;
  int16_t registerCode;
  int16_t channel;
  int16_t dataType;
  const char* answer;  // ends with its carriage return
  uint32_t stored;     // the slot afterwards
  Via via;
};

uint32_t F(float f) { return FloatBits(f); }

// A decoder as the packet path makes one, with the packet's model group.
families::AnswerDecoder DecoderFor(const families::AnswerText& answer, const velk::Packet& packet) {
  return families::AnswerDecoder(answer, packet, protocol::ModuleTypeOf(packet.moduleType));
}
uint32_t Byte(uint8_t b) { return (kPrefill & 0xFFFFFF00u) | b; }
uint32_t Half(uint16_t h) { return (kPrefill & 0xFFFF0000u) | h; }

// clang-format off
const DecodeCase kCases[] = {
    // Group 1: Velk4011 family
    {"Velk4011", 0, 0, kFloat, ">+05.123\r", F(5.123f), kBoth},
    {"Velk4011", 0, 0, kFloat, ">-0.5e1\r", F(-5.0f), kBoth},
    {"Velk4011", 1, 0, kBit, "!01\r", kPrefill, kBoth},
    {"Velk4011", 3, 0, kByte, "!010A5\r", Byte(0xA5), kBoth},
    {"Velk4011", 4, 0, kFloat, "!01+05.000\r", F(5.0f), kBoth},
    {"Velk4011", 5, 0, kFloat, "!01-12.250\r", F(-12.25f), kBoth},
    {"Velk4011", 6, 0, kBit, "!010\r", 0, kBoth},
    {"Velk4011", 6, 0, kBit, "!011\r", 1, kBoth},
    {"Velk4011", 6, 0, kBit, "!01X\r", 1, kBoth},
    {"Velk4011", 7, 0, kWord, "!01123456\r", 0xE240, kBoth},  // 123456 AND 0xFFFF
    {"Velk4011", 8, 0, kFloat, "!01+25.5\r", F(25.5f), kBoth},
    {"Velk4016", 9, 0, kShort, "!01+0012\r", kPrefill, kBoth},
    {"Velk4013", 2, 0, kBit, "!01\r", kPrefill, kBoth},

    // Group 2: Velk4017 family
    {"Velk4017", 0, 3, kFloat, ">+05.123\r", F(5.123f), kBoth},
    {"Velk4018M", 3, 0, kByte, "!013F\r", Byte(0x3F), kBoth},
    {"Velk4019", 4, 0, kWord, "!01\r", kPrefill, kBoth},
    {"Velk4017+", 5, 0, kFloat, "!01+24.0\r", F(24.0f), kBoth},
    {"Velk4018", 6, 0, kShort, "!01\r", kPrefill, kBoth},

    // Group 3: Velk4021
    {"Velk4021", 0, 0, kFloat, "!0105.500\r", F(5.5f), kBoth},
    {"Velk4021", 1, 0, kBit, "!01\r", kPrefill, kBoth},

    // Group 4: Velk4024, with IDriver2's cut at position 10
    {"Velk4024", 0, 1, kFloat, "!01+1.2345678\r", F(1.2345678f), kDriverOnly},
    {"Velk4024", 0, 1, kFloat, "!01+1.2345678\r", F(1.2345f), kDriver2Only},
    {"Velk4024", 1, 0, kByte, "!01123\r", Byte(123), kBoth},
    {"Velk4024", 1, 0, kByte, "!01300\r", Byte(300 & 0xFF), kBoth},
    {"Velk4024", 2, 0, kShort, "!013F\r", Half(63), kBoth},
    {"Velk4024", 3, 0, kShort, "!01FF\r", Half(255), kBoth},
    {"Velk4024", 4, 2, kFloat, "!01-3.5\r", F(-3.5f), kBoth},
    {"Velk4024", 5, 2, kFloat, "!01+7.25\r", F(7.25f), kBoth},
    {"Velk4024", 6, 0, kByte, "!01\r", kPrefill, kBoth},

    // Group 5: Velk4051 family, W = 0x1234
    {"Velk4051", 0, 2, kBit, "!1234\r", 1, kBoth},
    {"Velk4051", 0, 3, kBit, "!1234\r", 0, kBoth},
    {"Velk4051", 0, 12, kBit, "!1234\r", 1, kBoth},
    {"Velk4051", 0, 15, kBit, "!1234\r", 0, kBoth},
    {"Velk4051", 0, 0, kByte, "!1234\r", Byte(0x34), kBoth},
    {"Velk4053", 0, 1, kByte, "!1234\r", Byte(0x12), kBoth},
    {"Velk4053", 0, 2, kByte, "!1234\r", Byte(0), kBoth},
    {"Velk4051", 0, 0, kWord, "!1234\r", 0x1234, kBoth},
    {"Velk4051", 0, 1, kWord, "!1234\r", 0, kBoth},
    {"Velk4051", 0, 0, kFloat, "!1234\r", kPrefill, kBoth},
    {"Velk4051", 1, 0, kWord, "!1234\r", kPrefill, kBoth},

    // Group 6: inputs of the Velk4050 and Velk4055 at position 3, the others at 1
    {"Velk4050", 0, 0, kBit, "!12A5\r", 1, kBoth},
    {"Velk4050", 0, 1, kBit, "!12A5\r", 0, kBoth},
    {"Velk4055", 0, 7, kBit, "!12A5\r", 1, kBoth},
    {"Velk4055", 0, 0, kByte, "!12A5\r", Byte(0xA5), kBoth},
    {"Velk4050", 0, 0, kWord, "!12A5\r", kPrefill, kBoth},
    {"Velk4050", 0, 0, 3, "!12A5\r", 1, kBoth},
    {"Velk4052", 0, 1, kBit, "!12A5\r", 1, kBoth},
    {"Velk4052", 0, 0, kBit, "!12A5\r", 0, kBoth},
    {"Velk4060", 0, 0, kByte, "!12A5\r", Byte(0x12), kBoth},
    {"Velk4060", 0, 0, kWord, "!12A5\r", Byte(0x12), kBoth},
    {"Velk4068", 0, 0, kByte, "!12A5\r", Byte(0x12), kBoth},
    {"Velk4068", 1, 4, kBit, "!12A5\r", 1, kBoth},
    {"Velk4050", 1, 4, kBit, "!12A5\r", 1, kBoth},
    {"Velk4050", 1, 0, kBit, "!12A5\r", 0, kBoth},
    {"Velk4055", 1, 0, kByte, "!12A5\r", Byte(0x12), kBoth},
    {"Velk4055", 1, 0, 3, "!12A5\r", kPrefill, kBoth},
    {"Velk4052", 2, 0, kWord, "!12A5\r", kPrefill, kBoth},

    // Group 7: Velk4080 family
    {"Velk4080", 0, 0, kBit, "!011\r", 1, kBoth},
    {"Velk4080", 0, 0, kBit, "!012\r", 0, kBoth},
    {"Velk4080", 1, 0, kWord, "!12345678\r", 0x1234, kBoth},
    {"Velk4080D", 2, 0, kWord, "!12345678\r", 0x5678, kBoth},
    {"Velk4080", 3, 0, kByte, "!011\r", 1, kBoth},
    {"Velk4080", 4, 1, kLong, "!01DEADBEEF\r", 0xDEADBEEF, kBoth},
    {"Velk4080", 5, 0, kBit, "!011\r", 1, kBoth},
    {"Velk4080", 6, 0, kBit, "!011\r", kPrefill, kBoth},
    {"Velk4080", 7, 0, kLong, "!01000000FF\r", 0xFF, kBoth},
    {"Velk4080", 8, 0, kBit, "!012\r", 0, kBoth},
    {"Velk4080", 8, 1, kBit, "!012\r", 1, kBoth},
    {"Velk4080", 8, 0, kBit, "!013\r", 1, kBoth},
    {"Velk4080", 8, 1, kBit, "!013\r", 1, kBoth},
    {"Velk4080", 8, 0, kBit, "!011\r", 1, kBoth},
    {"Velk4080", 8, 1, kBit, "!011\r", 0, kBoth},
    {"Velk4080", 8, 1, kBit, "!010\r", 0, kBoth},
    {"Velk4080", 9, 0, kLong, "!0180000001\r", 0x80000001, kBoth},
    {"Velk4080", 10, 0, kByte, "!010A5\r", Byte(0xA5), kBoth},
    {"Velk4080", 11, 0, kWord, "!01\r", kPrefill, kBoth},

    // Group 8: Velk4015 (the carriage return is cut before the first item)
    {"Velk4015", 0, 0, kShort, "!01123\r", Half(123), kBoth},
    {"Velk4015", 1, 0, kShort, "!014017\r", Half(4017), kBoth},
    {"Velk4015", 2, 0, kShort, "!-0042\r", Half(0xFFD6), kBoth},
    {"Velk4015", 3, 1, kShort, "!+12.345678\r", Half(12), kBoth},
    {"Velk4015", 3, 1, kFloat, "!+12.345678\r", F(12.345f), kBoth},  // never integer bits in a float
    {"Velk4015", 3, 1, kBit, "!+12.345678\r", kPrefill, kDriver2Only},
    {"Velk4015", 4, 0, kByte, "!017F\r", Byte(0x7F), kBoth},
    {"Velk4015", 5, 0, kBit, "!01\r", kPrefill, kBoth},
    {"Velk4015", 6, 0, kShort, "!011+02345\r", Half(2345), kBoth},
    {"Velk4015", 6, 0, kShort, "!0102345\r", kPrefill, kBoth},
    {"Velk4015", 7, 0, kByte, "!01C3\r", Byte(0xC3), kBoth},
    {"Velk4015", 9, 1, kBit, "!01\r", kPrefill, kBoth},
};
// clang-format on

template <typename Item>
uint32_t DecodeOne(const DecodeCase& c) {
  HostPacket<Item> p(c.type, "REG", c.registerCode, 0);
  Item& item = p.Add(c.channel, c.dataType, kPrefill);
  const std::string answer = c.answer;
  families::AnswerDecoder decoder = DecoderFor(
      {answer.data(), static_cast<int32_t>(answer.size()), static_cast<int32_t>(answer.size()), false}, *p.get());
  decoder.Decode(item);
  return SlotBits(item.value);
}

std::string Describe(const DecodeCase& c) {
  std::string answer = c.answer;
  answer.pop_back();
  return std::string(c.type) + " register " + std::to_string(c.registerCode) + " channel " + std::to_string(c.channel) +
         " type " + std::to_string(c.dataType) + " answer " + answer;
}

TEST(AnswerDecoding, EveryGroupStoresItsWidth) {
  for (const DecodeCase& c : kCases) {
    SCOPED_TRACE(Describe(c));
    if (c.via != kDriver2Only) { EXPECT_EQ(DecodeOne<velk::TagItem>(c), c.stored) << "IDriver"; }
    if (c.via != kDriverOnly) { EXPECT_EQ(DecodeOne<velk::TagItem2>(c), c.stored) << "IDriver2"; }
  }
}

TEST(AnswerDecoding, VerifiedChecksumEndsDecimalReadings) {
  struct Case {
    const char* type;
    int16_t registerCode;
    int16_t dataType;
    const char* answer;  // checksum characters included
    bool verified;
    uint32_t stored;
  } cases[] = {
      {"Velk4017", 0, kFloat, ">+05.12392\r", true, F(5.123f)},
      {"Velk4017", 0, kFloat, ">+05.12392\r", false, F(5.12392f)},
      {"Velk4011", 7, kWord, "!0112345612\r", true, 0xE240},   // 123456, not 12345612
      {"Velk4015", 0, kShort, "!0112345\r", true, Half(123)},  // "45" is the checksum
      // Fixed-position hexadecimal readings do not move.
      {"Velk4080", 4, kLong, "!01DEADBEEF00\r", true, 0xDEADBEEF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    HostPacket<velk::TagItem2> p(c.type, "REG", c.registerCode, 0);
    velk::TagItem2& item = p.Add(0, c.dataType, kPrefill);
    const std::string answer = c.answer;
    const int32_t n = static_cast<int32_t>(answer.size());
    families::AnswerDecoder decoder = DecoderFor({answer.data(), n, n, c.verified}, *p.get());
    decoder.Decode(item);
    EXPECT_EQ(SlotBits(item.value), c.stored);
  }
}

// Group 8 drops the carriage return once: every item of the packet reads
// the same number, not one digit fewer than the item before it.
TEST(AnswerDecoding, Velk4015CutsTheCarriageReturnOnce) {
  HostPacket<velk::TagItem> p("Velk4015", "VERSION", 0, 0);
  p.Add(0, kShort, kPrefill);
  p.Add(0, kShort, kPrefill);
  p.Add(0, kShort, kPrefill);
  const std::string answer = "!0112345\r";
  families::AnswerDecoder decoder = DecoderFor({answer.data(), 9, 9, false}, *p.get());
  for (size_t i = 0; i < p.size(); ++i) decoder.Decode(p.item(i));
  for (size_t i = 0; i < p.size(); ++i) EXPECT_EQ(SlotBits(p.item(i).value), Half(12345)) << i;
  EXPECT_TRUE(decoder.formOk());
}

// What a rule reads must be there and of its kind; the field ends at the
// checksum, the carriage return or a cut, and has the width its module
// sends: one row, at least, for each width.
TEST(AnswerDecoding, FormOfWhatEachRuleReads) {
  struct Case {
    const char* type;
    int16_t registerCode;
    int16_t dataType;
    const char* answer;
    bool checksumVerified;
    bool driver2;
    bool ok;
  } cases[] = {
      {"Velk4011", 0, kFloat, ">+05.123\r", false, false, true},
      {"Velk4011", 0, kFloat, ">-0.5e1\r", false, false, false},   // no module sends an exponent
      {"Velk4011", 0, kFloat, ">+05.12392\r", true, false, true},  // the checksum ends the field
      {"Velk4011", 0, kFloat, ">+05.123\r", true, false, false},   // "23" taken as a checksum
      {"Velk4011", 0, kFloat, ">+05.1.3\r", false, false, false},
      {"Velk4011", 0, kFloat, ">+05.123 \r", false, false, false},
      {"Velk4024", 0, kFloat, "!01+1.2345678\r", false, true, true},  // IDriver2 reads up to position 10
      {"Velk4015", 3, kFloat, ">+12.345678\r", false, true, true},    // and NVALUE up to 8
      {"Velk4015", 3, kShort, ">+12.345\r", false, false, true},      // the integer drops the fraction
      // A reading: a sign and five digits, six past 99.999; one digit lost
      // or the sign lost is a bad answer, and so are another module's two
      // checksum digits run on after the field of a module without them.
      {"Velk4017", 0, kFloat, ">+150.000\r", false, false, true},
      {"Velk4017", 0, kFloat, ">+05.12\r", false, false, false},
      {"Velk4017", 0, kFloat, ">0.8123\r", false, false, false},
      {"Velk4017", 0, kFloat, ">-23.50093\r", false, false, false},
      {"Velk4011", 4, kFloat, "!01+5.000\r", false, false, false},
      // An output's read-back may leave out its sign.
      {"Velk4021", 0, kFloat, "!0112.500\r", false, false, true},
      {"Velk4021", 0, kFloat, "!01+12.500\r", false, false, true},
      {"Velk4021", 0, kFloat, "!0112.50\r", false, false, false},
      // The event counter: five digits.
      {"Velk4011", 7, kWord, "!0100012\r", false, false, true},
      {"Velk4011", 7, kWord, "!010001\r", false, false, false},
      {"Velk4011", 7, kWord, "!01-12\r", false, false, false},
      {"Velk4011", 7, kWord, "!01\r", false, false, false},
      // A raw count: a sign and five digits.
      {"Velk4015", 2, kShort, ">-01234\r", false, false, true},
      {"Velk4015", 2, kShort, ">-0123\r", false, false, false},
      {"Velk4015", 2, kShort, ">001234\r", false, false, false},
      {"Velk4015", 6, kShort, "!011+02345\r", false, false, true},
      {"Velk4015", 6, kShort, "!011+0234\r", false, false, false},
      // Two digits of inputs.
      {"Velk4024", 1, kByte, "!0105\r", false, false, true},
      {"Velk4024", 1, kByte, "!015\r", false, false, false},
      {"Velk4024", 1, kByte, "!01050\r", false, false, false},
      // A module's name read as a number: no more than five digits.
      {"Velk4015", 1, kShort, "!014015\r", false, false, true},
      {"Velk4015", 1, kShort, "!01401593\r", false, false, false},
      // Hexadecimal fields: their digits, upper case where read by code.
      {"Velk4024", 2, kShort, "!013F\r", false, false, true},
      {"Velk4024", 2, kShort, "!013f\r", false, false, false},
      {"Velk4051", 0, kWord, "!1234\r", false, false, true},
      {"Velk4051", 0, kWord, "!123\r", false, false, false},
      {"Velk4080", 1, kWord, "!12345678\r", false, false, true},
      {"Velk4080", 1, kWord, "!1234567\r", false, false, false},
      {"Velk4011", 3, kByte, "!010a5\r", false, false, true},  // the hexadecimal readers take lower case
      {"Velk4011", 3, kByte, "!010A\r", false, false, false},
      {"Velk4080", 0, kBit, "!01\r", false, false, false},
      {"Velk4015", 6, kShort, "!010\r", false, false, true},  // no fresh data: nothing more is read
      {"Velk4015", 6, kShort, "!011\r", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    HostPacket<velk::TagItem2> p(c.type, "REG", c.registerCode, 0);
    velk::TagItem2& item2 = p.Add(0, c.dataType, kPrefill);
    velk::TagItem item{};
    item.channel = 0;
    item.dataType = c.dataType;
    const std::string answer = c.answer;
    const int32_t n = static_cast<int32_t>(answer.size());
    families::AnswerDecoder decoder = DecoderFor({answer.data(), n, n, c.checksumVerified}, *p.get());
    if (c.driver2)
      decoder.Decode(item2);
    else
      decoder.Decode(item);
    EXPECT_EQ(decoder.formOk(), c.ok);
  }
}

TEST(AnswerDecoding, ReadingsStayInsideTheAnswer) {
  // A short answer followed by what the command left behind; nothing past
  // `size` is ever looked at, and it reads as zero.
  const char buffer[] = {'!', '\r', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'};
  HostPacket<velk::TagItem> p("Velk4080", "MCV", 4, 0);
  velk::TagItem& item = p.Add(0, kLong, kPrefill);
  families::AnswerDecoder decoder = DecoderFor({buffer, 2, 2, false}, *p.get());
  decoder.Decode(item);
  EXPECT_EQ(SlotBits(item.value), 0u) << "hex8(3) beyond a two-byte answer";
  EXPECT_EQ(decoder.At(2), '\0');
  EXPECT_EQ(decoder.At(-1), '\0');
  EXPECT_EQ(decoder.Int(100000), 0);
  EXPECT_EQ(decoder.Real(-5), 0.0f);

  // A whole answer of digits with no end inside the kept bytes.
  std::string digits(families::AnswerDecoder::kCapacity + 40, '7');
  families::AnswerDecoder longOne =
      DecoderFor({digits.data(), static_cast<int32_t>(digits.size()), 512, false}, *p.get());
  EXPECT_EQ(longOne.Int(1), 2147483647);
  EXPECT_TRUE(isinf(longOne.Real(1)));
}

TEST(AnswerDecoding, DecimalReadingsFollowTheCConversions) {
  HostPacket<velk::TagItem> p("Velk4011", "AI", 0, 0);
  p.Add(0, kFloat);
  struct Case {
    const char* text;
    int32_t asInt;
    float asReal;
  } cases[] = {
      {"  +12x", 12, 12.0f},
      {"\t-7.5e1", -7, -75.0f},
      {"+-5", 0, 0.0f},
      {"abc", 0, 0.0f},
      {"", 0, 0.0f},
      {"2147483648", 2147483647, 2147483648.0f},
      {"-2147483649", -2147483647 - 1, -2147483649.0f},
      {".5", 0, 0.5f},
      {"1e999", 1, HUGE_VALF},
      {"-1e999", -1, -HUGE_VALF},
      {"1e-999", 1, 0.0f},
      {"0.000001e-400", 0, 0.0f},
      {"12.5e", 12, 12.5f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = std::string("!") + c.text + "\r";
    families::AnswerDecoder d = DecoderFor(
        {text.data(), static_cast<int32_t>(text.size()), static_cast<int32_t>(text.size()), false}, *p.get());
    EXPECT_EQ(d.Int(1), c.asInt);
    EXPECT_EQ(d.Real(1), c.asReal);
  }
  // Readings as modules send them, up to and past the fifteen digits a
  // short cut may take, round exactly as the C conversion does.
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    const int count = 1 + static_cast<int>(random() % 18);
    std::string number;
    for (int k = 0; k < count; ++k) number += static_cast<char>('0' + random() % 10);
    number.insert(random() % (number.size() + 1), ".");
    const std::string text = "!" + number + "\r";
    families::AnswerDecoder d = DecoderFor(
        {text.data(), static_cast<int32_t>(text.size()), static_cast<int32_t>(text.size()), false}, *p.get());
    ASSERT_EQ(d.Real(1), static_cast<float>(strtod(number.c_str(), nullptr))) << number;
  }
}

}  // namespace
