// The command of every family, register and direction, byte for byte, under
// both builders and with and without checksums.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>

#include <random>
#include <string>

#include "protocol/command_builder.h"
#include "support/packet_builder.h"

namespace {

using testsupport::FloatBits;
using testsupport::HostPacket;

const char* const kNone = nullptr;  // the request has no command

struct CommandCase {
  const char* type;
  int16_t registerCode;
  int16_t direction;
  int16_t channel;
  int16_t dataType;
  uint32_t value;
  int32_t channelLow;
  const char* text;  // the command without checksum and carriage return
};

const int16_t R = 0;
const int16_t W = 1;
const int16_t kBit = velk::kTypeBit;
const int16_t kByte = velk::kTypeByte;
const int16_t kWord = velk::kTypeWord;
const int16_t kFloat = velk::kTypeFloat;

uint32_t F(float f) { return FloatBits(f); }
uint32_t I(int32_t v) { return static_cast<uint32_t>(v); }

// Address 1 throughout; `channelLow` -1 means "the item's channel".
// clang-format off
const CommandCase kCases[] = {
    // Velk4011 family
    {"Velk4011", 0, R, 0, kFloat, 0, -1, "#01"},
    {"Velk4011", 0, W, 0, kFloat, 0, -1, kNone},
    {"Velk4011", 1, R, 0, kBit, 0, -1, kNone},
    {"Velk4011", 1, W, 0, kBit, 1, -1, "$010"},
    {"Velk4011", 2, W, 0, kBit, 0, -1, "$011"},
    {"Velk4011", 3, R, 0, kByte, 0, -1, "@01DI"},
    {"Velk4011", 3, W, 0, kByte, 0x1A5, -1, "@01DOA5"},
    {"Velk4011", 4, R, 0, kFloat, 0, -1, "@01RH"},
    {"Velk4011", 4, W, 0, kFloat, F(5.0f), -1, "@01HI+05.000"},
    {"Velk4011", 4, W, 0, kFloat, F(99.9994f), -1, "@01HI+99.999"},
    {"Velk4011", 4, W, 0, kFloat, F(99.9996f), -1, kNone},  // "+100.000" does not fit seven
    {"Velk4011", 5, R, 0, kFloat, 0, -1, "@01RL"},
    {"Velk4011", 5, W, 0, kFloat, F(-2.25f), -1, "@01LO-02.250"},
    {"Velk4011", 5, W, 0, kFloat, F(-123.5f), -1, kNone},
    {"Velk4011", 6, R, 0, kBit, 0, -1, "@01DI"},
    {"Velk4011", 6, W, 0, kBit, 7, -1, "@01EAL"},
    {"Velk4011", 6, W, 0, kBit, 0x100, -1, "@01EAL"},  // the whole value counts, not its low byte
    {"Velk4011", 6, W, 0, kBit, 0, -1, "@01DA"},
    {"Velk4011", 7, R, 0, kWord, 0, -1, "@01RE"},
    {"Velk4011", 7, W, 0, kWord, 99, -1, "@01CE"},
    {"Velk4011", 8, R, 0, kFloat, 0, -1, "$013"},
    {"Velk4011", 8, W, 0, kFloat, 0, -1, kNone},
    {"Velk4011", 9, R, 0, kFloat, 0, -1, kNone},
    {"Velk4011", 9, W, 0, 4, 12, -1, "$019+0012"},
    {"Velk4011", 9, W, 0, 4, I(-7), -1, "$019-0007"},
    {"Velk4011", 9, W, 0, 4, 9999, -1, "$019+9999"},
    {"Velk4011", 9, W, 0, 4, I(-9999), -1, "$019-9999"},
    {"Velk4011", 9, W, 0, 4, 10000, -1, kNone},
    {"Velk4011", 9, W, 0, 4, I(-10000), -1, kNone},
    {"Velk4011", 9, W, 0, 4, 0x70005, -1, "$019+0005"},  // only the low 16 bits count
    {"Velk4011", 10, R, 0, kFloat, 0, -1, kNone},
    {"Velk4011", -1, R, 0, kFloat, 0, -1, kNone},
    {"Velk4014D", 0, R, 0, kFloat, 0, -1, "#01"},
    {"velk4016", 3, R, 0, kByte, 0, -1, "@01DI"},
    {"Velk4011", 0, 2, 0, kFloat, 0, -1, kNone},  // neither read nor write

    // Velk4017 family: the AI channel is the low hex digit of channelLow
    {"Velk4017", 0, R, 5, kFloat, 0, -1, "#015"},
    {"Velk4018M", 0, R, 3, kFloat, 0, 0x1C, "#01C"},
    {"Velk4017", 0, W, 0, kFloat, 0, -1, kNone},
    {"Velk4017+", 1, W, 0, kBit, 0, -1, "$010"},
    {"Velk4018", 2, W, 0, kBit, 0, -1, "$011"},
    {"Velk4018+", 3, R, 0, kByte, 0, -1, "$016"},
    {"Velk4019", 3, W, 0, kByte, 0x3F, -1, "$0153F"},
    {"Velk4019", 4, R, 0, kWord, 0, -1, kNone},  // DISPLAY is the driver's own
    {"Velk4019", 5, R, 0, kFloat, 0, -1, "$013"},
    {"Velk4019", 6, W, 0, 4, I(-1), -1, "$019-0001"},
    {"Velk4019", 6, R, 0, 4, 0, -1, kNone},

    // Velk4021
    {"Velk4021", 0, R, 0, kFloat, 0, -1, "$016"},
    {"Velk4021", 0, W, 0, kFloat, F(5.5f), -1, "#0105.500"},
    {"Velk4021", 0, W, 0, kFloat, F(-9.5f), -1, "#01-9.500"},
    {"Velk4021", 0, W, 0, kFloat, F(0.0f), -1, "#0100.000"},
    {"Velk4021", 0, W, 0, kFloat, F(-0.0f), -1, "#01-0.000"},
    {"Velk4021", 0, W, 0, kFloat, F(123.456f), -1, kNone},  // was sent cut as "123.45"
    {"Velk4021", 0, W, 0, kFloat, F(-10.0f), -1, kNone},
    {"Velk4021", 0, W, 0, kFloat, 0x7FC00000u, -1, kNone},  // NaN
    {"Velk4021", 0, W, 0, kFloat, 0x7F800000u, -1, kNone},  // infinity
    {"Velk4021", 1, W, 0, kBit, 0, -1, "$010"},
    {"Velk4021", 2, W, 0, kBit, 0, -1, "$011"},
    {"Velk4021", 3, W, 0, kByte, 7, -1, "$01307"},
    {"Velk4021", 3, R, 0, kByte, 0, -1, kNone},
    {"Velk4021", 4, R, 0, kWord, 0, -1, kNone},

    // Velk4024
    {"Velk4024", 0, R, 2, kFloat, 0, -1, "$016C2"},
    {"Velk4024", 0, W, 1, kFloat, F(-2.5f), -1, "#01C1-02.500"},
    {"Velk4024", 0, W, 0, kFloat, F(99.5f), -1, "#01C0+99.500"},
    {"Velk4024", 0, W, 0, kFloat, F(-0.0f), -1, "#01C0+00.000"},
    {"Velk4024", 0, W, 0, kFloat, F(100.0f), -1, kNone},
    {"Velk4024", 0, W, 0, kFloat, F(-100.0f), -1, kNone},
    {"Velk4024", 1, R, 0, kByte, 0, -1, "$01I"},
    {"Velk4024", 1, W, 0, kByte, 0, -1, kNone},
    {"Velk4024", 2, R, 3, 4, 0, -1, "$01NC3"},
    {"Velk4024", 2, W, 3, 4, 5, -1, "$010"},
    {"Velk4024", 3, R, 0, 4, 0, -1, "$01OC0"},
    {"Velk4024", 3, W, 0, 4, 5, -1, "$011"},
    {"Velk4024", 4, R, 1, kFloat, 0, -1, "$01DC1"},
    {"Velk4024", 4, W, 2, kFloat, F(1.25f), -1, "#01SC2+01.250"},
    {"Velk4024", 5, R, 3, kFloat, 0, -1, "$01EC3"},
    {"Velk4024", 5, W, 3, kFloat, F(-0.5f), -1, "#01EC3-00.500"},
    {"Velk4024", 6, W, 0, kByte, 0x10, -1, "$01310"},
    {"Velk4024", 6, R, 0, kByte, 0, -1, kNone},
    {"Velk4024", 7, R, 0, kWord, 0, -1, kNone},

    // Velk4051 family
    {"Velk4051", 0, R, 4, kBit, 0, -1, "$016"},
    {"Velk4053", 0, R, 0, kWord, 0, -1, "$016"},
    {"Velk4053", 0, W, 0, kWord, 0, -1, kNone},
    {"Velk4051", 1, R, 0, kWord, 0, -1, kNone},

    // Velk4050 family; the single-bit write is in its own test below
    {"Velk4050", 0, R, 0, kBit, 0, -1, "$016"},
    {"Velk4050", 0, W, 0, kBit, 1, -1, kNone},
    {"Velk4052", 1, R, 2, kBit, 0, -1, "$016"},
    {"Velk4055", 1, W, 0, kByte, 0x5A, -1, "#01005A"},
    {"Velk4060", 1, W, 0, kWord, 0x5A, -1, kNone},
    {"Velk4068", 0, R, 0, kByte, 0, -1, "$016"},
    {"Velk4068", 1, W, 0, kByte, 0xC3, -1, "#0100C3"},
    {"Velk4050", 2, R, 0, kWord, 0, -1, kNone},

    // Velk4080 family: k follows channelLow
    {"Velk4080", 0, R, 0, kBit, 0, -1, "$01B"},
    {"Velk4080", 0, W, 0, kBit, 5, -1, "$01B1"},
    {"Velk4080", 0, W, 0, kBit, 0, -1, "$01B0"},
    {"Velk4080", 1, R, 0, kWord, 0, -1, "#010"},
    {"Velk4080D", 1, R, 1, kWord, 0, -1, "#011"},
    {"Velk4080", 2, R, 1, kWord, 0, -1, "#011"},
    {"Velk4080", 2, W, 1, kWord, 0, -1, kNone},
    {"Velk4080", 3, R, 0, kByte, 0, -1, "$01A"},
    {"Velk4080", 3, W, 0, kByte, 0, -1, "$01A0"},
    {"Velk4080", 3, W, 0, kByte, 1, -1, "$01A1"},
    {"Velk4080", 3, W, 0, kByte, 0x100, -1, "$01A0"},  // the low byte decides
    {"Velk4080", 3, W, 0, kByte, 7, -1, "$01A2"},
    {"Velk4080", 4, R, 1, 0x20, 0, -1, "$0131"},
    {"Velk4080", 4, W, 0, 0x20, 0x12345678, -1, "$013012345678"},
    {"Velk4080", 5, R, 1, kBit, 0, -1, "$0151"},
    {"Velk4080", 5, W, 1, kBit, 3, -1, "$01511"},
    {"Velk4080", 5, W, 0, kBit, 0, -1, "$01500"},
    {"Velk4080", 6, W, 1, kBit, 0, -1, "$0161"},
    {"Velk4080", 6, R, 1, kBit, 0, -1, kNone},
    {"Velk4080", 7, R, 0, 0x20, 0, -1, "@01G0"},
    {"Velk4080", 7, W, 1, 0x20, 0xDEADBEEF, -1, "@01P1DEADBEEF"},
    {"Velk4080", 8, R, 0, kBit, 0, -1, "@01DI"},
    {"Velk4080", 8, W, 0, kBit, 1, -1, "$01EA0"},
    {"Velk4080", 8, W, 1, kBit, 0, -1, "$01DA1"},
    {"Velk4080", 9, R, 0, 0x20, 0, -1, "@01RP"},
    {"Velk4080", 9, R, 1, 0x20, 0, -1, "@01RA"},
    {"Velk4080", 9, W, 0, 0x20, 0xFF, -1, "@01PA000000FF"},
    {"Velk4080", 9, W, 1, 0x20, 0xFF, -1, "@01SA000000FF"},
    {"Velk4080", 10, R, 0, kByte, 0, -1, "@01DI"},
    {"Velk4080", 10, W, 0, kByte, 0x80, -1, "@01DO80"},
    {"Velk4080", 11, R, 0, kWord, 0, -1, kNone},

    // Velk4015: whatever no row covers goes out as "$" AA
    {"Velk4015", 0, R, 0, 4, 0, -1, "$01F"},
    {"Velk4015", 0, W, 0, 4, 1, -1, "$01"},
    {"Velk4015", 1, R, 0, 4, 0, -1, "$01M"},
    {"Velk4015", 2, R, 0, 4, 0, -1, "#01"},
    {"Velk4015", 3, R, 1, kFloat, 0, -1, "#010"},
    {"Velk4015", 3, R, 6, kFloat, 0, -1, "#015"},
    {"Velk4015", 3, W, 1, kFloat, 0, -1, "$01"},
    {"Velk4015", 4, R, 0, kByte, 0, -1, "$016"},
    {"Velk4015", 4, W, 0, kByte, 0x0A, -1, "$0150A"},
    {"Velk4015", 5, R, 0, kBit, 0, -1, "$01"},
    {"Velk4015", 5, W, 0, kBit, 0, -1, "$01"},
    {"Velk4015", 6, R, 0, 4, 0, -1, "$014"},
    {"Velk4015", 7, R, 0, kByte, 0, -1, "$01B"},
    {"Velk4015", 8, R, 2, kBit, 0, -1, "$01"},
    {"Velk4015", 8, W, 2, kBit, 1, -1, "$010C1"},
    {"Velk4015", 8, W, 2, kBit, 2, -1, "$01"},
    {"Velk4015", 9, W, 3, kBit, 1, -1, "$011C2"},
    {"Velk4015", 10, W, 0, kBit, 1, -1, "$01S0"},
    {"Velk4015", 10, W, 0, kBit, 0x101, -1, "$01"},  // the whole value must be 1
    {"Velk4015", 11, W, 0, kBit, 1, -1, "$01S1"},
    {"Velk4015", 12, R, 0, kWord, 0, -1, "$01"},
    {"Velk4015", 40, W, 0, kWord, 0, -1, "$01"},

    // Types no family contains
    {"Velk4099", 0, R, 0, kFloat, 0, -1, kNone},
    {"Velk4011 ", 0, R, 0, kFloat, 0, -1, kNone},
    {"Data7810", 0, R, 0, kByte, 0, -1, kNone},
    {"", 0, R, 0, kFloat, 0, -1, kNone},
};
// clang-format on

std::string WithChecksum(const std::string& text) {
  unsigned sum = 0;
  for (unsigned char c : text) sum += c;
  char hex[3];
  snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
  return text + hex;
}

template <typename Item>
int32_t BuildFor(const velk::Packet& packet, char* buffer, int32_t* length);
template <>
int32_t BuildFor<velk::TagItem>(const velk::Packet& packet, char* buffer, int32_t* length) {
  return protocol::BuildCommand(packet, protocol::ModelGroupOf(packet.moduleType), buffer, length);
}
template <>
int32_t BuildFor<velk::TagItem2>(const velk::Packet& packet, char* buffer, int32_t* length) {
  return protocol::BuildCommand2(packet, protocol::ModelGroupOf(packet.moduleType), buffer, length);
}

// The bytes a builder wrote, or "<none>" for a refusal (checked to have left
// the buffer and the length empty).
template <typename Item>
std::string Build(HostPacket<Item>& p) {
  char buffer[64] = {};
  int32_t length = 123;
  const int32_t result = BuildFor<Item>(*p.get(), buffer, &length);
  if (result == 0) {
    EXPECT_EQ(length, 0);
    for (char c : buffer) EXPECT_EQ(c, 0);
    return "<none>";
  }
  EXPECT_EQ(result, 1);
  EXPECT_GT(length, 0);
  EXPECT_LE(length, protocol::kLongestCommand);
  for (int i = length; i < static_cast<int>(sizeof buffer); ++i) EXPECT_EQ(buffer[i], 0) << "wrote past the command";
  return std::string(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

template <typename Item>
std::string BuildCase(const CommandCase& c, bool checksum, int16_t address = 1) {
  HostPacket<Item> p(c.type, "REG", c.registerCode, c.direction, address, checksum);
  p.Add(c.channel, c.dataType, c.value);
  if (c.channelLow >= 0) p.Channels(c.channelLow, c.channelLow);
  return Build(p);
}

template <typename Item>
void CheckAllCases() {
  for (const CommandCase& c : kCases) {
    const std::string expectedPlain = c.text ? std::string(c.text) + "\r" : "<none>";
    const std::string expectedSummed = c.text ? WithChecksum(c.text) + "\r" : "<none>";
    SCOPED_TRACE(std::string(c.type) + " register " + std::to_string(c.registerCode) + " direction " +
                 std::to_string(c.direction));
    EXPECT_EQ(BuildCase<Item>(c, false), expectedPlain);
    EXPECT_EQ(BuildCase<Item>(c, true), expectedSummed);
  }
}

TEST(CommandBuilder, EveryFamilyRegisterAndDirectionThroughIDriver) { CheckAllCases<velk::TagItem>(); }
TEST(CommandBuilder, EveryFamilyRegisterAndDirectionThroughIDriver2) { CheckAllCases<velk::TagItem2>(); }

TEST(CommandBuilder, ChecksumExamplesAndAddressByte) {
  const CommandCase ai{"Velk4011", 0, R, 0, kFloat, 0, -1, "#01"};
  EXPECT_EQ(BuildCase<velk::TagItem>(ai, true), "#0184\r");
  EXPECT_EQ(BuildCase<velk::TagItem>(ai, false), "#01\r");
  // Only the low byte of the packet's address goes on the wire.
  EXPECT_EQ(BuildCase<velk::TagItem2>(ai, false, 0x1A5), "#A5\r");
  EXPECT_EQ(BuildCase<velk::TagItem2>(ai, false, 0xFF), "#FF\r");
}

TEST(CommandBuilder, Velk4050SingleBitWriteAlwaysCarriesItsChecksum) {
  struct BitCase {
    int16_t channel;
    uint32_t value;
    const char* command;
  } cases[] = {
      {3, 1, "#01130149\r"},                     // output 3 of module 1 on
      {0, 1, "#011001"},                         // checksum added below
      {7, 0, "#011700"},     {7, 2, "#011700"},  // only the value 1 switches on
      {5, 0x101, "#011500"},                     // the whole value must be 1
      {8, 1, nullptr},                           // outputs 0..7 only
      {-1, 1, nullptr},      {255, 1, nullptr},
  };
  for (const BitCase& c : cases) {
    SCOPED_TRACE(c.channel);
    std::string expected = "<none>";
    if (c.command != nullptr) {
      expected = c.command;
      if (expected.back() != '\r') expected = WithChecksum(expected) + "\r";
    }
    for (bool checksum : {false, true}) {
      HostPacket<velk::TagItem> p("Velk4050", "DO", 1, W, 1, checksum);
      p.Add(c.channel, kBit, c.value);
      std::string built = Build(p);
      EXPECT_EQ(built, expected);
      if (c.command != nullptr) { EXPECT_EQ(built.size(), 10u); }
      HostPacket<velk::TagItem2> p2("velk4052", "DO", 1, W, 1, checksum);
      p2.Add(c.channel, kBit, c.value);
      EXPECT_EQ(Build(p2), expected);
    }
  }
}

TEST(CommandBuilder, BroadcastSampleIgnoresTheAddress) {
  for (bool checksum : {false, true}) {
    HostPacket<velk::TagItem2> p("Velk4015", "SYNSAM", 5, W, 0x3C, checksum);
    p.Add(0, kBit, 1);
    EXPECT_EQ(Build(p), checksum ? "#**77\r" : "#**\r");
    HostPacket<velk::TagItem2> q("Velk4015", "SYNSAM", 5, W, 0x3C, checksum);
    q.Add(0, kBit, 0);
    EXPECT_EQ(Build(q), checksum ? WithChecksum("$3C") + "\r" : "$3C\r");
  }
}

TEST(CommandBuilder, PacketsWithoutWhatACommandNeeds) {
  char buffer[32] = {};
  int32_t length = 7;
  HostPacket<velk::TagItem2> empty("Velk4017", "AI", 0, R);
  EXPECT_EQ(protocol::BuildCommand2(*empty.get(), protocol::ModelGroupOf(empty.get()->moduleType), buffer, &length), 0);
  EXPECT_EQ(length, 0);

  // A missing device record is the default device: with checksum.
  HostPacket<velk::TagItem> noDevice("Velk4011", "AI", 0, R);
  noDevice.Add(0, kFloat);
  noDevice.header().device = nullptr;
  EXPECT_EQ(Build(noDevice), "#0184\r");

  HostPacket<velk::TagItem> noType("Velk4011", "AI", 0, R);
  noType.Add(0, kFloat);
  noType.header().moduleType = nullptr;
  EXPECT_EQ(Build(noType), "<none>");

  HostPacket<velk::TagItem> ok("Velk4011", "AI", 0, R);
  ok.Add(0, kFloat);
  EXPECT_EQ(protocol::BuildCommand(*ok.get(), protocol::ModelGroupOf(ok.get()->moduleType), nullptr, &length), 0);
  EXPECT_EQ(protocol::BuildCommand(*ok.get(), protocol::ModelGroupOf(ok.get()->moduleType), buffer, nullptr), 0);
}

// The fixed-width fields against the C library's own formatting: wherever
// printf's text fits the field, the command carries exactly that text, and
// wherever it does not, there is no command.
TEST(CommandBuilder, FixedFieldsMatchPrintfOrRefuse) {
  std::mt19937 random(4021);
  std::uniform_real_distribution<float> wide(-1200.0f, 1200.0f);
  std::uniform_real_distribution<float> narrow(-1.0f, 1.0f);
  std::vector<float> values = {0.0005f, 0.0015f, 0.0625f, 0.1875f, 9.9995f, 99.9995f, -9.9995f, 999.9995f,
                               1e-8f,   -1e-8f,  1e20f,   -3e38f,  0.5f,    2.5f,     -0.0625f};
  for (int i = 0; i < 3000; ++i) values.push_back(i % 2 ? wide(random) : narrow(random));

  for (float v : values) {
    SCOPED_TRACE(v);
    char expected[64];
    // F6 through the Velk4021 AO write.
    int n = snprintf(expected, sizeof expected, "%06.3f", static_cast<double>(v));
    HostPacket<velk::TagItem> f6("Velk4021", "AO", 0, W, 1, false);
    f6.Add(0, kFloat, FloatBits(v));
    EXPECT_EQ(Build(f6), n == 6 ? "#01" + std::string(expected) + "\r" : "<none>");
    // F7 through the Velk4011 AHI write.
    n = snprintf(expected, sizeof expected, "%+07.3f", static_cast<double>(v));
    HostPacket<velk::TagItem> f7("Velk4011", "AHI", 4, W, 1, false);
    f7.Add(0, kFloat, FloatBits(v));
    EXPECT_EQ(Build(f7), n == 7 ? "@01HI" + std::string(expected) + "\r" : "<none>");
    // s + A6 through the Velk4024 AO write.
    n = snprintf(expected, sizeof expected, "%06.3f", fabs(static_cast<double>(v)));
    HostPacket<velk::TagItem> a6("Velk4024", "AO", 0, W, 1, false);
    a6.Add(2, kFloat, FloatBits(v));
    EXPECT_EQ(Build(a6), n == 6 ? std::string("#01C2") + (v >= 0 ? "+" : "-") + expected + "\r" : "<none>");
  }

  for (int32_t v = -32768; v <= 32767; v += 7) {
    char expected[16];
    const int n = snprintf(expected, sizeof expected, "%+05i", v);
    HostPacket<velk::TagItem2> i5("Velk4017", "CJCOFF", 6, W, 1, false);
    i5.Add(0, 4, static_cast<uint32_t>(v));
    ASSERT_EQ(Build(i5), n == 5 ? "$019" + std::string(expected) + "\r" : "<none>") << v;
  }
}

}  // namespace
