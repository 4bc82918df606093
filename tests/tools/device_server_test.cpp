// Lines behind a serial device server: Debian's ser2net serves a
// pseudo-terminal on loopback, raw and as Telnet with COM Port Control, and
// the driver (loaded as the host loads it) or the serial services reach the
// far side through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "ser2net_fixture.h"
#include "platform/clock.h"
#include "platform/net_line.h"
#include "platform/pseudo_terminal.h"
#include "platform/serial_api.h"
#include "sim/bus.h"
#include "sim/server.h"
#include "support/host_driver.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

using testsupport::FloatBits;
using testsupport::HostDriver;
using testsupport::HostLibrary;
using testsupport::HostPacket;
using testsupport::SlotBits;
using tooltest::BackgroundProgram;
using tooltest::FreePort;
using tooltest::kSer2net;
using tooltest::Ser2net;
using tooltest::TempDir;

// The bytes the far side of a pseudo-terminal receives within `ms`,
// until `count` arrived.
std::string ReadMaster(platform::Handle master, size_t count, int ms = 3000) {
  platform::Clock& clock = platform::SystemClock();
  const uint32_t deadline = clock.TickMs() + ms;
  std::string got;
  while (got.size() < count) {
    const uint32_t left = platform::TickRemaining(clock.TickMs(), deadline);
    if (left == 0) break;
    pollfd p = {static_cast<int>(master), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char bytes[512];
    const ssize_t n = read(static_cast<int>(master), bytes, sizeof bytes);
    if (n > 0) got.append(bytes, static_cast<size_t>(n));
  }
  return got;
}

std::string ReadLine(platform::Port& port, size_t count, uint32_t ms = 3000) {
  platform::Clock& clock = platform::SystemClock();
  const uint32_t deadline = clock.TickMs() + ms;
  std::string got;
  while (got.size() < count && !platform::TickAfter(clock.TickMs(), deadline)) {
    if (port.Wait(platform::TickRemaining(clock.TickMs(), deadline)) != platform::WaitResult::kInput) continue;
    char bytes[512];
    uint32_t n = 0;
    if (!port.Read(bytes, sizeof bytes, &n)) break;
    got.append(bytes, n);
  }
  return got;
}

class DeviceServerLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kSer2net, X_OK), 0) << "ser2net is not installed";
    ASSERT_TRUE(ptys[0].Create()) << ptys[0].error();
    ASSERT_TRUE(ptys[1].Create()) << ptys[1].error();
    server.reset(new Ser2net(ptys[0].slavePath(), ptys[1].slavePath()));
    ASSERT_TRUE(server->Start()) << server->log();
  }

  // The far side of the device that `rfc2217` reaches.
  platform::Handle Master(bool rfc2217) const { return ptys[rfc2217 ? 1 : 0].master(); }

  platform::PseudoTerminal ptys[2];
  std::unique_ptr<Ser2net> server;
  platform::SerialApi& api = platform::SystemSerialApi();
};

// Every byte value crosses both ways unchanged: 0xFF is doubled on the
// Telnet wire and undone, CR stays a bare CR.
TEST_F(DeviceServerLine, EveryByteValueCrossesBothWays) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  all += "\xFF\xFF\r";
  for (bool rfc2217 : {false, true}) {
    SCOPED_TRACE(server->Name(rfc2217));
    const std::unique_ptr<platform::Port> h = api.Open(server->Name(rfc2217).c_str()).port;
    ASSERT_NE(h, nullptr);
    platform::LineSettings settings;
    ASSERT_TRUE(h->Settings(&settings));
    settings.baudRate = 115200;
    ASSERT_TRUE(h->Configure(settings));
    uint32_t written = 0;
    ASSERT_TRUE(h->Write(all.data(), static_cast<uint32_t>(all.size()), &written));
    EXPECT_EQ(ReadMaster(Master(rfc2217), all.size()), all);
    ASSERT_EQ(write(static_cast<int>(Master(rfc2217)), all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(ReadLine(*h, all.size()), all);
    EXPECT_EQ(h->Wait(0), platform::WaitResult::kTimeout);
  }
}

// The settings as ser2net applied them to the device: the pseudo-terminal's
// termios, read on the master side. A pseudo-terminal keeps 8 data bits
// and no parity whatever it is told, so those two are checked through the
// server's answers alone (Configure fails unless each answer matches).
TEST_F(DeviceServerLine, Rfc2217SettingsReachTheDeviceAndRawLeavesThemAlone) {
  struct Case {
    bool rfc2217;
    platform::LineSettings asked;
    speed_t speed;
    bool twoStops;
  } cases[] = {
      {true, {19200, 7, 2, 2}, B19200, true},
      {true, {1200, 8, 1, 1}, B1200, false},
      {true, {115200, 8, 0, 1}, B115200, false},
      // Raw: the server's own 9600 8N1 stays, whatever the driver asks.
      {false, {38400, 7, 2, 2}, B9600, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.asked.baudRate) + (c.rfc2217 ? " rfc2217" : " raw"));
    const std::unique_ptr<platform::Port> h = api.Open(server->Name(c.rfc2217).c_str()).port;
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(h->Configure(c.asked));
    // A byte through shows that the server has the device open and set.
    uint32_t written = 0;
    ASSERT_TRUE(h->Write("x", 1, &written));
    ASSERT_EQ(ReadMaster(Master(c.rfc2217), 1), "x");
    termios t;
    ASSERT_EQ(tcgetattr(static_cast<int>(Master(c.rfc2217)), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);

    // ser2net keeps the device a moment after the client left.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// The server going away is a hang-up to whoever waits on the line, at
// once; the next write connects again, with the settings sent again.
TEST_F(DeviceServerLine, LostServerIsAHangUpAndTheNextWriteConnectsAgain) {
  platform::Clock& clock = platform::SystemClock();
  for (bool rfc2217 : {false, true}) {
    SCOPED_TRACE(server->Name(rfc2217));
    const std::unique_ptr<platform::Port> h = api.Open(server->Name(rfc2217).c_str()).port;
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(h->Configure(platform::LineSettings{2400, 8, 0, 2}));
    server->Stop();
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(h->Wait(3000), platform::WaitResult::kHangUp);
    EXPECT_LT(clock.TickMs() - start, 1500u);
    EXPECT_FALSE(h->Drain(100));
    char byte;
    uint32_t got = 0;
    EXPECT_FALSE(h->Read(&byte, 1, &got));
    uint32_t written = 0;
    EXPECT_FALSE(h->Write("x", 1, &written));  // refused: nobody listens

    ASSERT_TRUE(server->Start()) << server->log();
    ASSERT_TRUE(h->Write("y", 1, &written));
    EXPECT_EQ(ReadMaster(Master(rfc2217), 1), "y");
    termios t;
    ASSERT_EQ(tcgetattr(static_cast<int>(Master(rfc2217)), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), rfc2217 ? B2400 : B9600);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, rfc2217);
  }
}

// Nobody listening, and a server whose listen queue is full so that the
// connection is never answered: the opening fails, within the bound.
TEST(DeviceServerOpening, RefusedAndSilentAddressesFailWithinTheBound) {
  // Listeners that never accept: one with its queue filled by a
  // connection, so that the next is never answered; one with room, whose
  // connections the kernel completes and nobody serves.
  auto listenOn = [](int backlog, sockaddr_in* a) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    *a = sockaddr_in{};
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof *a;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(a), sizeof *a), 0);
    EXPECT_EQ(listen(fd, backlog), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(a), &length), 0);
    return fd;
  };
  sockaddr_in full, open;
  const int fullListener = listenOn(0, &full);
  const int openListener = listenOn(4, &open);
  const int filler = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&full), sizeof full), 0);
  const std::string silent = std::to_string(ntohs(full.sin_port));

  struct Case {
    std::string name;
    platform::OpenError error;
    uint32_t atLeastMs;
  } cases[] = {
      {"tcp:127.0.0.1:" + std::to_string(FreePort()), platform::OpenError::kMissing, 0},
      {"rfc2217:127.0.0.1:" + std::to_string(FreePort()), platform::OpenError::kMissing, 0},
      {"tcp:no-such-host.invalid:4001", platform::OpenError::kMissing, 0},
      {"tcp:127.0.0.1:" + silent, platform::OpenError::kOther, 350},
      {"tcp:127.0.0.1", platform::OpenError::kMissing, 0},
  };
  platform::Clock& clock = platform::SystemClock();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t start = clock.TickMs();
    const platform::Opened opened = platform::OpenNetPort(c.name.c_str(), 400);
    const uint32_t took = clock.TickMs() - start;
    EXPECT_EQ(opened.port, nullptr);
    EXPECT_EQ(opened.error, c.error);
    EXPECT_GE(took, c.atLeastMs);
    EXPECT_LT(took, 2000u);
  }

  // Accepted by the kernel but never served: the COM Port answers do not
  // come, so the settings fail within the bound.
  const std::unique_ptr<platform::Port> h =
      platform::OpenNetPort(("rfc2217:127.0.0.1:" + std::to_string(ntohs(open.sin_port))).c_str(), 400).port;
  ASSERT_NE(h, nullptr);
  const uint32_t start = clock.TickMs();
  EXPECT_FALSE(h->Configure(platform::LineSettings{9600, 8, 0, 1}));
  EXPECT_LT(clock.TickMs() - start, 2000u);
  close(filler);
  close(fullListener);
  close(openListener);
}

// The driver, loaded as the host loads it, on the simulated bus behind
// ser2net.
class DriverBehindDeviceServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kSer2net, X_OK), 0) << "ser2net is not installed";
    std::string error;
    ASSERT_TRUE(rawSide.ServePseudoTerminal(&error)) << error;
    ASSERT_TRUE(telnetSide.ServePseudoTerminal(&error)) << error;
    server.reset(new Ser2net(rawSide.path(), telnetSide.path()));
    ASSERT_TRUE(server->Start()) << server->log();
    ASSERT_NE(host.d, nullptr);
    ASSERT_NE(host.d2, nullptr);
  }

  void Open(bool rfc2217, int16_t timeoutMs = 1000) {
    const std::string name = server->Name(rfc2217);
    ASSERT_LE(name.size(), 31u);
    const velk::PortSettings s = testsupport::MakeSettings(name.c_str(), 9600, timeoutMs);
    ASSERT_EQ(host.d->OpenPort(0, &s), 1) << name;
  }

  HostLibrary library;
  sim::Bus bus;
  sim::Server rawSide{bus};  // one bus, two lines to it
  sim::Server telnetSide{bus};
  HostDriver host{library};
  std::unique_ptr<Ser2net> server;
};

enum : int16_t { kData7810Temp = 6, kData7810DO = 5, kData7210SetDat = 3 };

TEST_F(DriverBehindDeviceServer, OneReadAndOneWriteOfEveryFamily) {
  std::string error;
  ASSERT_NE(bus.Add("Velk4017", 1, true, &error), nullptr) << error;
  ASSERT_NE(bus.Add("Velk4050", 2, false, &error), nullptr) << error;
  ASSERT_NE(bus.Add("Velk4080", 3, true, &error), nullptr) << error;
  ASSERT_NE(bus.Add("Data7810", 4, false, &error), nullptr) << error;
  ASSERT_NE(bus.Add("Data7210", 5, false, &error), nullptr) << error;
  bus.Velk(1)->Update([](sim::VelkRegisters& r) { r.analogIn[2] = sim::ValueSource::Constant(-7.25); });
  bus.Velk(2)->Update([](sim::VelkRegisters& r) { r.digitalIn = 0x5A; });
  bus.Velk(3)->Update([](sim::VelkRegisters& r) { r.maxCounter[1] = 0x00ABCDEF; });
  bus.Data7810(4)->Update([](sim::Data7810Registers& r) { r.temperature[1] = sim::ValueSource::Constant(21.5); });

  for (bool rfc2217 : {false, true}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
    Open(rfc2217);
    HostPacket<velk::TagItem2> ai("Velk4017", "AI", 0, 0, 1, true);
    ai.Add(2, velk::kTypeFloat);
    ASSERT_EQ(host.d2->ProcessPacket2(ai.get()), 1);
    EXPECT_EQ(SlotBits(ai.item(0).value), FloatBits(-7.25f));
    HostPacket<velk::TagItem2> mp("Velk4017", "MP", 3, 1, 1, true);
    mp.Add(0, velk::kTypeByte, rfc2217 ? 0x21 : 0x12);
    ASSERT_EQ(host.d2->ProcessPacket2(mp.get()), 1);
    EXPECT_EQ(bus.Velk(1)->registers().multiplexer, rfc2217 ? 0x21 : 0x12);

    HostPacket<velk::TagItem> di("Velk4050", "DI", 0, 0, 2, false);
    di.Add(0, velk::kTypeByte);
    ASSERT_EQ(host.d->ProcessPacket(di.get()), 1);
    EXPECT_EQ(SlotBits(di.item(0).value) & 0xFF, 0x5Au);
    HostPacket<velk::TagItem> out("Velk4050", "DO", 1, 1, 2, false);
    out.Add(0, velk::kTypeByte, rfc2217 ? 0xC3 : 0x3C);
    ASSERT_EQ(host.d->ProcessPacket(out.get()), 1);
    EXPECT_EQ(bus.Velk(2)->registers().digitalOut, rfc2217 ? 0xC3u : 0x3Cu);

    HostPacket<velk::TagItem2> counter("Velk4080", "MCV", 4, 0, 3, true);
    counter.Add(1, velk::kTypeLong);
    ASSERT_EQ(host.d2->ProcessPacket2(counter.get()), 1);
    EXPECT_EQ(SlotBits(counter.item(0).value), 0x00ABCDEFu);
    HostPacket<velk::TagItem2> limit("Velk4080", "MCV", 4, 1, 3, true);
    limit.Add(0, velk::kTypeLong, rfc2217 ? 4321 : 1234);
    ASSERT_EQ(host.d2->ProcessPacket2(limit.get()), 1);
    EXPECT_EQ(bus.Velk(3)->registers().maxCounter[0], rfc2217 ? 4321u : 1234u);

    HostPacket<velk::TagItem2> temp("Data7810", "Temp", kData7810Temp, 0, 4, false);
    temp.Add(1, velk::kTypeFloat);
    ASSERT_EQ(host.d2->ProcessPacket2(temp.get()), 1);
    EXPECT_EQ(SlotBits(temp.item(0).value), FloatBits(21.5f));
    HostPacket<velk::TagItem2> relay("Data7810", "DO", kData7810DO, 1, 4, false);
    relay.Add(1, velk::kTypeBit, 1);
    ASSERT_EQ(host.d2->ProcessPacket2(relay.get()), 1);
    EXPECT_EQ(bus.Data7810(4)->registers().digitalOut & 2, 2);

    HostPacket<velk::TagItem2> display("Data7210", "SetDat", kData7210SetDat, 1, 1, false);
    display.header().decimals = 1;
    display.Add(5, velk::kTypeFloat, FloatBits(rfc2217 ? 12.5f : -5.5f));
    ASSERT_EQ(host.d2->ProcessPacket2(display.get()), 1);
    EXPECT_EQ(bus.Display(5)->Shown(), rfc2217 ? "12.5" : "-5.5");
    ASSERT_EQ(host.d->ClosePort(), 1);
  }
}

// ser2net goes away between two packets and comes back: the packets in
// between fail at once (not after the answer time-out), and the line
// carries on by itself once the server is back.
TEST_F(DriverBehindDeviceServer, ServerRestartedMidPollFailsFastAndRecovers) {
  std::string error;
  ASSERT_NE(bus.Add("Velk4017", 1, true, &error), nullptr) << error;
  bus.Velk(1)->Update([](sim::VelkRegisters& r) { r.analogIn[0] = sim::ValueSource::Constant(3.5); });
  const int16_t kTimeoutMs = 3000;
  platform::Clock& clock = platform::SystemClock();
  for (bool rfc2217 : {false, true}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
    Open(rfc2217, kTimeoutMs);
    HostPacket<velk::TagItem2> ai("Velk4017", "AI", 0, 0, 1, true);
    ai.Add(0, velk::kTypeFloat);
    ASSERT_EQ(host.d2->ProcessPacket2(ai.get()), 1);

    server->Stop();
    for (int i = 0; i < 3; ++i) {
      const uint32_t start = clock.TickMs();
      EXPECT_EQ(host.d2->ProcessPacket2(ai.get()), 0);
      EXPECT_LT(clock.TickMs() - start, static_cast<uint32_t>(kTimeoutMs) / 2) << "packet " << i;
    }
    ASSERT_TRUE(server->Start()) << server->log();
    EXPECT_EQ(host.d2->ProcessPacket2(ai.get()), 1);
    EXPECT_EQ(SlotBits(ai.item(0).value), FloatBits(3.5f));
    ASSERT_EQ(host.d->ClosePort(), 1);
  }
}

}  // namespace

namespace {

// velksim's own TCP port, named in the line file and on velkhost's command
// line: probe, scan and poll go through it as through a device server.
TEST(VelksimTcpPort, VelkhostProbesScansAndPollsThroughIt) {
  TempDir dir;
  const std::string port = std::to_string(FreePort());
  const std::string name = "tcp:127.0.0.1:" + port;
  BackgroundProgram simulator;
  ASSERT_TRUE(simulator.Start(
      {VELKSIM_PATH, "-m", "3:Velk4017:checksum", "-m", "5:Velk4050:checksum", "--tcp", port, "--plain"}));
  ASSERT_TRUE(simulator.WaitForOutput("also on " + name, 10000)) << simulator.err();
  const std::string line = dir.Write(
      "line.toml", "[port]\nname = \"" + name +
                       "\"\ntimeout_ms = 500\n"
                       "[[device]]\nname = \"ai\"\ntype = \"Velk4017\"\naddress = \"3\"\n"
                       "[[device]]\nname = \"relays\"\ntype = \"Velk4050\"\naddress = \"5\"\n"
                       "[[tag]]\nname = \"relay3\"\ndevice = \"relays\"\naddress = \"DO3\"\ntype = \"bit\"\n");

  tooltest::ProgramResult r = tooltest::RunProgram({VELKHOST_PATH, "probe", line, "ai"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("answered"), std::string::npos) << r.out;
  r = tooltest::RunProgram({VELKHOST_PATH, "scan", line, "--port", name, "--type", "Velk4017", "--from", "0", "--to",
                            "6", "--timeout-ms", "100"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("2 modules answered"), std::string::npos) << r.out;
  r = tooltest::RunProgram({VELKHOST_PATH, "poll", line, "--once", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"relay3\""), std::string::npos) << r.out;

  // One client at a time: a second one is told the line is taken.
  const auto connectLoopback = [&] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  };
  const int first = connectLoopback();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int second = connectLoopback();
  pollfd ready = {second, POLLIN, 0};
  char told[128] = {};
  ASSERT_EQ(poll(&ready, 1, 3000), 1);
  EXPECT_GT(read(second, told, sizeof told - 1), 0);
  EXPECT_STREQ(told, "velksim: the line is taken by another client\r\n");
  close(second);
  close(first);

  // A name that is not a device server port is explained, not looked up.
  r = tooltest::RunProgram({VELKHOST_PATH, "poll", line, "--once", "--port", "tcp:127.0.0.1"});
  EXPECT_EQ(r.exitCode, 3);  // the port could not be opened
  EXPECT_NE(r.err.find("is not a device server port"), std::string::npos) << r.err;
  EXPECT_EQ(simulator.Stop().exitCode, 130);  // stopped as by Ctrl-C
}

}  // namespace
