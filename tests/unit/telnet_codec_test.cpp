// The Telnet byte rules of lines behind device servers: data with 0xFF and
// CR both ways, negotiation answered once and never looped, COM Port
// answers picked out of the stream wherever the stream was split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net_line.h"
#include "platform/telnet_codec.h"

namespace {

using namespace platform::telnet;
typedef std::vector<uint8_t> Bytes;

Bytes Escaped(const Bytes& data, bool binary) {
  Bytes out(2 * data.size() + 1);
  out.resize(EscapeData(data.data(), data.size(), binary, out.data()));
  return out;
}

TEST(TelnetCodec, DataIsEscapedForTheWire) {
  struct Case {
    Bytes data;
    bool binary;
    Bytes wire;
  } cases[] = {
      {{'#', '0', '1', '\r'}, true, {'#', '0', '1', '\r'}},
      {{0xFF}, true, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0x00}, true, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
      {{'A', '\r'}, false, {'A', '\r', 0x00}},  // a bare CR outside binary mode
      {{'\r', 0xFF}, false, {'\r', 0x00, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) EXPECT_EQ(Escaped(c.data, c.binary), c.wire);
}

// Every byte value survives the trip, however the stream is cut.
TEST(TelnetCodec, EveryByteValueComesBackWhateverTheSplit) {
  Bytes data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<uint8_t>(i));
  data.push_back(0xFF);
  data.push_back('\r');
  const Bytes wire = Escaped(data, true);
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, wire.size()}) {
    Session session;
    uint8_t greeting[Session::kGreetingBytes];
    session.Greeting(greeting);
    Bytes got(wire.size());
    size_t n = 0;
    for (size_t at = 0; at < wire.size(); at += piece)
      n += session.Decode(wire.data() + at, std::min(piece, wire.size() - at), got.data() + n);
    got.resize(n);
    EXPECT_EQ(got, data) << "pieces of " << piece;
  }
}

TEST(TelnetCodec, NegotiationIsAnsweredOnceAndRefusesWhatItDoesNotKnow) {
  struct Case {
    const char* what;
    Bytes in;
    Bytes replies;
  } cases[] = {
      // The server agreeing to what the greeting asked owes no answer.
      {"agreement", {kIac, kDo, 0, kIac, kWill, 0, kIac, kDo, 44, kIac, kWill, 3}, {}},
      {"echo refused", {kIac, kWill, 1}, {kIac, kDont, 1}},
      {"unknown option refused", {kIac, kDo, 24}, {kIac, kWont, 24}},
      {"binary withdrawn", {kIac, kDont, 0}, {kIac, kWont, 0}},
      {"go-ahead offered", {kIac, kDo, 3}, {kIac, kWill, 3}},
      {"go-ahead offered twice", {kIac, kDo, 3, kIac, kDo, 3}, {kIac, kWill, 3}},
      {"commands carry nothing", {kIac, 241, kIac, 249}, {}},
  };
  for (const Case& c : cases) {
    Session session;
    uint8_t greeting[Session::kGreetingBytes];
    session.Greeting(greeting);
    uint8_t data[64];
    EXPECT_EQ(session.Decode(c.in.data(), c.in.size(), data), 0u) << c.what;
    const uint8_t* replies = nullptr;
    const size_t n = session.PendingReplies(&replies);
    EXPECT_EQ(Bytes(replies, replies + n), c.replies) << c.what;
  }
}

TEST(TelnetCodec, ComPortAnswersAreTakenOutOfTheData) {
  // 19200 baud answered, a modem-state notice, 0xFF in a value, data around.
  const Bytes in = {'>',  kIac, kSb,  44,   101,  0,    0,    0x4B, 0,   kIac, kSe,  'A', kIac,
                    kSb,  44,   107,  0x30, kIac, kSe,  kIac, kSb,  44,  101,  0,    0,   kIac,
                    kIac, kIac, kIac, kIac, kSe,  kIac, kSb,  44,   103, 3,    kIac, kSe, '\r'};
  Session session;
  uint8_t greeting[Session::kGreetingBytes];
  session.Greeting(greeting);
  uint8_t data[64];
  const size_t n = session.Decode(in.data(), in.size(), data);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), n), ">A\r");
  EXPECT_EQ(session.Answer(kSetBaudRate).sequence, 2u);
  EXPECT_EQ(Bytes(session.Answer(kSetBaudRate).value, session.Answer(kSetBaudRate).value + 4),
            (Bytes{0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(session.Answer(kSetParity).sequence, 1u);
  EXPECT_EQ(session.Answer(kSetParity).value[0], 3);
  EXPECT_EQ(session.Answer(kSetControl).sequence, 0u);
  EXPECT_TRUE(session.comPortAllowed());

  const Bytes refusal = {kIac, kDont, 44};
  session.Decode(refusal.data(), refusal.size(), data);
  EXPECT_FALSE(session.comPortAllowed());
}

TEST(TelnetCodec, CommandsAreEncodedWithTheirValueEscaped) {
  uint8_t out[kMaxCommandBytes];
  const uint8_t baud[4] = {0, 0, 0x25, 0x80};
  EXPECT_EQ(Bytes(out, out + EncodeComPortCommand(kSetBaudRate, baud, 4, out)),
            (Bytes{kIac, kSb, 44, 1, 0, 0, 0x25, 0x80, kIac, kSe}));
  const uint8_t odd[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Bytes(out, out + EncodeComPortCommand(kSetBaudRate, odd, 4, out)),
            (Bytes{kIac, kSb, 44, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe}));
}

TEST(NetPortName, NamesAreParsedOrRefused) {
  struct Case {
    const char* name;
    bool ok;
    bool rfc2217;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"tcp:127.0.0.1:4001", true, false, "127.0.0.1", 4001},
      {"rfc2217:10.0.0.12:2001", true, true, "10.0.0.12", 2001},
      {"\\\\.\\rfc2217:gw-north:7000", true, true, "gw-north", 7000},
      {"//./tcp:localhost:1", true, false, "localhost", 1},
      {"tcp:[::1]:65535", true, false, "::1", 65535},
      {"tcp:127.0.0.1", false, false, "", 0},
      {"tcp::4001", false, false, "", 0},
      {"tcp:host:0", false, false, "", 0},
      {"tcp:host:65536", false, false, "", 0},
      {"tcp:host:40a1", false, false, "", 0},
      {"tcp:::1:4001", false, false, "", 0},
      {"rfc2217:[::1:4001", false, false, "", 0},
      {"ttyUSB0", false, false, "", 0},
  };
  for (const Case& c : cases) {
    platform::NetPortName parsed;
    ASSERT_EQ(platform::ParseNetPortName(c.name, &parsed), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(parsed.rfc2217, c.rfc2217) << c.name;
    EXPECT_STREQ(parsed.host, c.host) << c.name;
    EXPECT_EQ(parsed.port, c.port) << c.name;
  }
  EXPECT_TRUE(platform::IsNetPortName("tcp:broken"));
  EXPECT_FALSE(platform::IsNetPortName("ttyS0"));
}

}  // namespace
