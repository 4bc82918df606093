#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>

#include "families/family.h"
#include "protocol/tag_parsing.h"

namespace {

using velk::TagConfig;
using velk::TagDef;

// The grammar of the tag's module type, chosen as the driver chooses it.
protocol::TagParseResult ParseTag(const TagConfig& config, TagDef& def) {
  return families::FamilyFor(config.moduleType, sizeof config.moduleType).parseTag(config, def);
}

// Every field starts as this value, so a field the grammar must not write
// (or has not reached before failing) is seen unchanged.
constexpr int16_t U = 0x5A5A;
const char kUnwrittenName[] = "unwritten";

constexpr int16_t kBit = velk::kTypeBit;
constexpr int16_t kByte = velk::kTypeByte;
constexpr int16_t kShort = velk::kTypeShort;
constexpr int16_t kWord = velk::kTypeWord;
constexpr int16_t kFloat = velk::kTypeFloat;
constexpr int16_t kString = velk::kTypeString;

struct TagCase {
  const char* moduleType;
  const char* address;
  int16_t dataType;
  int16_t result;
  int16_t code;
  const char* registerName;  // nullptr: not written
  int16_t registerCode;
  int16_t channel;
  int16_t sub1, sub2, sub3, sub4;
};

// Copies `text` into a host array; a text as long as the array leaves no NUL.
template <size_t N>
void Fill(char (&field)[N], const char* text) {
  memset(field, 0, N);
  const size_t length = strlen(text);
  memcpy(field, text, length < N ? length : N);
}

TagDef FreshDef() {
  TagDef def;
  memset(&def, 0x5A, sizeof def);
  def.registerName = kUnwrittenName;
  return def;
}

TagConfig ConfigOf(const char* moduleType, const char* address, int16_t dataType) {
  TagConfig config{};
  Fill(config.moduleType, moduleType);
  Fill(config.addressText, address);
  config.dataType = dataType;
  return config;
}

void ExpectFields(const TagCase& c, const protocol::TagParseResult& parsed, const TagDef& def) {
  const std::string where = std::string(c.moduleType) + " \"" + c.address + "\"";
  EXPECT_EQ(parsed.result, c.result) << where;
  EXPECT_EQ(parsed.errorCode, c.code) << where;
  if (c.registerName == nullptr) {
    EXPECT_EQ(def.registerName, kUnwrittenName) << where;
  } else {
    EXPECT_STREQ(def.registerName, c.registerName) << where;
  }
  EXPECT_EQ(def.registerCode, c.registerCode) << where;
  EXPECT_EQ(def.channel, c.channel) << where;
  EXPECT_EQ(def.subField1, c.sub1) << where;
  EXPECT_EQ(def.subField2, c.sub2) << where;
  EXPECT_EQ(def.subField3, c.sub3) << where;
  EXPECT_EQ(def.subField4, c.sub4) << where;
  EXPECT_EQ(def.address, U) << where;
  EXPECT_EQ(def.hostField0[0], 0x5A) << where;
}

void RunCases(const TagCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const TagCase& c = cases[i];
    const TagConfig config = ConfigOf(c.moduleType, c.address, c.dataType);
    TagDef def = FreshDef();
    ExpectFields(c, ParseTag(config, def), def);
  }
}

// The "Velk" grammar works on 31 characters, blanks included.
const std::string kFits = "DISPLAY" + std::string(31 - 7, ' ');
const std::string kTooLong = kFits + " ";

// The "Velk" grammar writes the register, its index and the channel, never
// the sub-fields.
const TagCase kVelkCases[] = {
    {"Velk4017", "ai3", kFloat, 0, 0, "AI", 0, 3, U, U, U, U},
    {"VELK4017", "  AI7  ", kFloat, 0, 0, "AI", 0, 7, U, U, U, U},
    {"Velk4017", "AI8", kFloat, 14, 14, "AI", 0, 0, U, U, U, U},
    {"Velk4017", "AI", kFloat, 14, 14, "AI", 0, 0, U, U, U, U},
    {"Velk4017", "AI-1", kFloat, 14, 14, "AI", 0, 0, U, U, U, U},
    {"Velk4017", "AI 3", kFloat, 14, 14, "AI", 0, 0, U, U, U, U},
    {"Velk4017", "AI3", kWord, 13, 13, "AI", 0, 3, U, U, U, U},
    {"Velk4050", "DISPLAY", kWord, 0, 0, "DISPLAY", 2, -1, U, U, U, U},
    {"Velk4050", "DO3", kFloat, 13, 13, "DO", 1, 3, U, U, U, U},
    {"Velk4050", "DO", kBit, 14, 14, "DO", 1, 0, U, U, U, U},
    {"Velk4011", "SPANCAL1", kBit, 12, 12, "SPANCAL", 1, 0, U, U, U, U},
    {"Velk4011", " spancal ", kBit, 0, 0, "SPANCAL", 1, -1, U, U, U, U},
    // Seven characters or more pass over two-letter names.
    {"Velk4017", "AI1234567", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"velk4051", "display", kWord, 0, 0, "DISPLAY", 1, -1, U, U, U, U},
    {"Velk4051", "DISPLAYS", kWord, 12, 12, "DISPLAY", 1, 0, U, U, U, U},
    // "%i" channels: a leading 0 is octal, and octal stops at 8.
    {"Velk4051", "DI010", kBit, 0, 0, "DI", 0, 8, U, U, U, U},
    {"Velk4051", "DI017", kBit, 0, 0, "DI", 0, 15, U, U, U, U},
    {"Velk4051", "DI020", kBit, 14, 14, "DI", 0, 0, U, U, U, U},
    {"Velk4051", "DI08", kBit, 0, 0, "DI", 0, 0, U, U, U, U},
    {"Velk4051", "DI15", kWord, 0, 0, "DI", 0, 15, U, U, U, U},
    {"Velk4051", "DI16", kWord, 14, 14, "DI", 0, 0, U, U, U, U},
    // Rows beyond the count a model offers are not there.
    {"Velk4013", "DO", kByte, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4017", "CJCOFF", kShort, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4018M", "CJCOFF", kShort, 0, 0, "CJCOFF", 6, -1, U, U, U, U},
    {"Velk4015", "NVALUE6", kShort, 0, 0, "NVALUE", 3, 6, U, U, U, U},
    {"Velk4015", "NVALUE0", kShort, 14, 14, "NVALUE", 3, 0, U, U, U, U},
    {"Velk4015", "NVALUE99999999999999999999", kShort, 14, 14, "NVALUE", 3, 0, U, U, U, U},
    {"Velk4080", "DISPLAY", kWord, 0, 0, "DISPLAY", 11, -1, U, U, U, U},
    {"Velk4024", "DC3", kFloat, 0, 0, "DC", 4, 3, U, U, U, U},
    {"Velk9999", "AI3", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4011 ", "AI", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4017", "", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4017", "     ", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4017", "XY3", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Velk4050", kFits.c_str(), kWord, 0, 0, "DISPLAY", 2, -1, U, U, U, U},
    {"Velk4050", kTooLong.c_str(), kWord, 12, 12, nullptr, U, U, U, U, U, U},
};

// Data7810: case matters, every failure answers 1, and success writes all
// sub-fields; the register and its index come after the channel checks.
const TagCase kData7810Cases[] = {
    {"Data7810", "DI", kBit, 0, 0, "DI", 4, 0, 0, 4, 0, kBit},
    {"data7810", "DI1", kBit, 0, 0, "DI", 4, 1, 0, 4, 1, kBit},
    {"Data7810", "  Version  ", kString, 0, 0, "Version", 2, 0, 0, 2, 0, kString},
    {"Data7810", "Temp7", kFloat, 0, 0, "Temp", 6, 7, 0, 6, 7, kFloat},
    {"Data7810", "Addr00", kByte, 0, 0, "Addr", 0, 0, 0, 0, 0, kByte},
    {"Data7810", "DI000000001", kBit, 0, 0, "DI", 4, 1, 0, 4, 1, kBit},
    {"Data7810", "di1", kBit, 1, 12, nullptr, U, U, U, U, U, U},
    {"Data7810", "", kBit, 1, 12, nullptr, U, U, U, U, U, U},
    {"Data7810", "Temp8", kFloat, 1, 14, nullptr, U, 0, U, U, U, U},
    {"Data7810", "Addr1", kByte, 1, 14, nullptr, U, 0, U, U, U, U},
    {"Data7810", "DIx", kBit, 1, 14, nullptr, U, 0, U, U, U, U},
    {"Data7810", "DI0000000001", kBit, 1, 12, nullptr, U, 0, U, U, U, U},
    {"Data7810", "Addr", kWord, 1, 13, "Addr", 0, 0, 0, 0, 0, U},
};

// Data7210: sub-fields start at -1; a precision digit or the options fill
// them; case matters.
const TagCase kData7210Cases[] = {
    {"Data7210", "SetDat2.15", kFloat, 0, 0, "SetDat", 3, 15, 2, -1, -1, U},
    {"Data7210", "SetDat15", kWord, 0, 0, "SetDat", 3, 15, -1, -1, -1, U},
    {"DATA7210", "MdVerF3", kString, 0, 0, "MdVerF", 1, 3, -1, -1, -1, U},
    {"Data7210", "SetDat15,7", kFloat, 0, 0, "SetDat", 3, 15, 7, -1, -1, U},
    {"Data7210", "SetDat2.15,-3", kFloat, 0, 0, "SetDat", 3, 15, -3, -1, -1, U},
    {"Data7210", "SetDat15,1,2,3", kFloat, 0, 0, "SetDat", 3, 15, 1, 2, 3, U},
    {"Data7210", "SetDat15,1,2,3,x", kFloat, 0, 0, "SetDat", 3, 15, 1, 2, 3, U},
    {"Data7210", "SetDat1,,2", kFloat, 0, 0, "SetDat", 3, 1, -1, 2, -1, U},
    {"Data7210", " SetDat 2. 15 , 7 ", kFloat, 0, 0, "SetDat", 3, 15, 7, -1, -1, U},
    {"Data7210", "SetDat1-2", kFloat, 0, 0, "SetDat", 3, 1, -1, -1, -1, U},
    {"Data7210", "SetDat4.15", kFloat, 14, 14, "SetDat", 3, 0, -1, -1, -1, U},
    {"Data7210", "SetDat0.15", kFloat, 14, 14, "SetDat", 3, 0, -1, -1, -1, U},
    {"Data7210", "SetDat.15", kFloat, 14, 14, "SetDat", 3, 0, -1, -1, -1, U},
    {"Data7210", "SetDat2.x", kFloat, 14, 14, "SetDat", 3, 0, 2, -1, -1, U},
    {"Data7210", "SetDat", kFloat, 14, 14, "SetDat", 3, 0, -1, -1, -1, U},
    {"Data7210", "SetDat256", kFloat, 14, 14, "SetDat", 3, 0, -1, -1, -1, U},
    {"Data7210", "SetDat15,x", kFloat, 12, 12, "SetDat", 3, 15, -1, -1, -1, U},
    {"Data7210", "SetDat15,1,x", kFloat, 14, 14, "SetDat", 3, 15, 1, -1, -1, U},
    {"Data7210", "SetDat15,1,2,x", kFloat, 14, 14, "SetDat", 3, 15, 1, 2, -1, U},
    {"Data7210", "CfgStaT5", kFloat, 13, 13, "CfgStaT", 0, 5, -1, -1, -1, U},
    {"Data7210", "setdat1", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Data7210", "", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
    {"Data7210", " ,1", kFloat, 12, 12, nullptr, U, U, U, U, U, U},
};

TEST(TagParsing, VelkGrammar) { RunCases(kVelkCases, sizeof kVelkCases / sizeof kVelkCases[0]); }
TEST(TagParsing, Data7810Grammar) { RunCases(kData7810Cases, sizeof kData7810Cases / sizeof kData7810Cases[0]); }
TEST(TagParsing, Data7210Grammar) { RunCases(kData7210Cases, sizeof kData7210Cases / sizeof kData7210Cases[0]); }

// Texts that fill their arrays with no NUL. The record sits alone on the
// heap with a non-zero data type after the address text, so a read past the
// arrays runs off the allocation (and the sanitizer build reports it).
struct UnterminatedCase {
  const char* moduleType;
  const char* start;  // the rest of the 128 characters is `fill`
  char fill;
  int16_t dataType;
  int16_t code;
  int16_t channel;
};

const UnterminatedCase kUnterminated[] = {
    {"Velk4050", "DISPLAY", ' ', kWord, 12, U},            // longer than the working area
    {"Data7810", "Temp7", ' ', kFloat, 0, 7},              // trailing blanks trimmed
    {"Data7810", "DI", '0', kBit, 12, 0},                  // the rest does not fit its area
    {"Data7210", "SetDat2.15,1,2,3", ' ', kFloat, 0, 15},  // trailing white space trimmed
    {"Data7210", "SetDat2.15,1,2,", '4', kFloat, 14, 15},  // the third option is too large a number
};

TEST(TagParsing, UnterminatedTextsAreReadWithinTheirArrays) {
  for (const UnterminatedCase& c : kUnterminated) {
    auto config = std::make_unique<TagConfig>();
    Fill(config->moduleType, c.moduleType);
    memset(config->addressText, c.fill, sizeof config->addressText);
    memcpy(config->addressText, c.start, strlen(c.start));
    config->dataType = static_cast<int16_t>(c.dataType | 0x4000);
    TagDef def = FreshDef();
    EXPECT_EQ(ParseTag(*config, def).errorCode, c.code) << c.moduleType << " " << c.start;
    EXPECT_EQ(def.channel, c.channel) << c.moduleType << " " << c.start;
  }
}

TEST(TagParsing, UnterminatedModuleTypeIsUnknown) {
  auto config = std::make_unique<TagConfig>();
  memset(config->moduleType, 'X', sizeof config->moduleType);
  memcpy(config->moduleType, "Velk4017", 8);
  Fill(config->addressText, "AI3");
  config->dataType = kFloat;
  TagDef def = FreshDef();
  EXPECT_EQ(ParseTag(*config, def).errorCode, 12);
  EXPECT_EQ(def.registerName, kUnwrittenName);
}

}  // namespace
