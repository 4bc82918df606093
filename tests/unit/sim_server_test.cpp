// The simulator served on a real pseudo-terminal, talked to from the slave
// side through the platform's serial services, as the driver does.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/pseudo_terminal.h"
#include "platform/serial_api.h"
#include "sim/server.h"

namespace {

platform::SerialApi& Api() { return platform::SystemSerialApi(); }

// Reads until a carriage return ends a read or `limitMs` pass.
std::string ReadAnswer(platform::Port& port, uint32_t limitMs = 2000) {
  platform::Clock& clock = platform::SystemClock();
  const uint32_t deadline = clock.TickMs() + limitMs;
  std::string answer;
  while (!platform::TickAfter(clock.TickMs(), deadline)) {
    port.Wait(10);
    char buffer[600];
    uint32_t got = 0;
    if (!port.Read(buffer, sizeof buffer, &got)) break;
    answer.append(buffer, got);
    if (!answer.empty() && answer.back() == '\r') break;
  }
  return answer;
}

void Send(platform::Port& port, const std::string& bytes) {
  uint32_t written = 0;
  ASSERT_TRUE(port.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
  ASSERT_EQ(written, bytes.size());
}

class SimServer : public testing::Test {
 protected:
  void SetUp() override {
    auto* module = static_cast<sim::VelkModule*>(bus_.Add("Velk4017", 1));
    module->Update([](sim::VelkRegisters& r) { r.analogIn[5] = sim::ValueSource::Constant(1.25); });
    bus_.Add("Velk4051", 2);
    std::string error;
    ASSERT_TRUE(server_.ServePseudoTerminal(&error)) << error;
    ASSERT_FALSE(server_.path().empty());
    port_ = Api().Open(server_.path().c_str()).port;
    ASSERT_NE(port_, nullptr) << server_.path();
  }

  sim::Bus bus_;
  sim::Server server_{bus_};
  std::unique_ptr<platform::Port> port_;
};

TEST_F(SimServer, AnswersOverThePseudoTerminal) {
  Send(*port_, "#015\r");
  EXPECT_EQ(ReadAnswer(*port_), ">+01.250\r");
  // A command written in pieces is framed at its carriage return.
  Send(*port_, "$0");
  platform::SystemClock().SleepMs(20);
  Send(*port_, "26\r");
  EXPECT_EQ(ReadAnswer(*port_), "!000000\r");
  EXPECT_EQ(bus_.CommandCount(), 2u);
  EXPECT_EQ(bus_.Recent(1)[0].command, "$026\r");
  EXPECT_EQ(server_.bytesReceived(), 10u);
}

TEST_F(SimServer, NoiseWithoutCarriageReturnIsDroppedAndTheLineGoesOn) {
  Send(*port_, std::string(5000, 'x') + "\r");
  Send(*port_, "$026\r");
  EXPECT_EQ(ReadAnswer(*port_), "!000000\r");
  EXPECT_EQ(bus_.CommandCount(), 1u);
}

TEST_F(SimServer, FaultsReachTheLineAsShaped) {
  sim::Faults faults;
  std::string error;
  ASSERT_TRUE(sim::ParseFaults("stray=00FF,overlong=600", &faults, &error)) << error;
  bus_.At(2)->SetFaults(faults);
  Send(*port_, "$026\r");
  const std::string answer = ReadAnswer(*port_);
  ASSERT_EQ(answer.size(), 602u);
  EXPECT_EQ(answer.compare(0, 9, std::string("\x00\xFF!000000", 9)), 0);
  EXPECT_EQ(answer.back(), '\r');

  faults = sim::Faults();
  faults.noCarriageReturn = true;
  bus_.At(2)->SetFaults(faults);
  Send(*port_, "$026\r");
  EXPECT_EQ(ReadAnswer(*port_, 300), "!000000");
}

TEST_F(SimServer, DelayedAndChunkedAnswersKeepTheirPauses) {
  sim::Faults faults;
  faults.delayMs = 200;
  faults.chunkBytes = 3;
  faults.chunkGapMs = 40;
  bus_.At(1)->SetFaults(faults);
  platform::Clock& clock = platform::SystemClock();
  const uint32_t start = clock.TickMs();
  Send(*port_, "#015\r");
  // The first chunk comes after the delay, without the carriage return.
  const std::string first = ReadAnswer(*port_, 100);
  EXPECT_EQ(first, "");
  const std::string rest = ReadAnswer(*port_, 2000);
  const uint32_t took = clock.TickMs() - start;
  EXPECT_EQ(rest, ">+01.250\r");
  EXPECT_GE(took, 200u + 2 * 40u);  // three chunks: delay, then two gaps
  EXPECT_LT(took, 1000u);
}

TEST_F(SimServer, ADelayedModuleDoesNotHoldUpAnother) {
  sim::Faults faults;
  faults.delayMs = 300;
  bus_.At(1)->SetFaults(faults);
  platform::Clock& clock = platform::SystemClock();
  const uint32_t start = clock.TickMs();
  Send(*port_, "#015\r$026\r");
  EXPECT_EQ(ReadAnswer(*port_), "!000000\r");
  EXPECT_LT(clock.TickMs() - start, 250u);
  EXPECT_EQ(ReadAnswer(*port_), ">+01.250\r");
  EXPECT_GE(clock.TickMs() - start, 300u);
}

TEST_F(SimServer, StopsPromptlyAndTwice) {
  platform::Clock& clock = platform::SystemClock();
  sim::Faults faults;
  faults.delayMs = 5000;  // an answer still pending does not hold the stop
  bus_.At(1)->SetFaults(faults);
  Send(*port_, "#015\r");
  platform::SystemClock().SleepMs(20);
  const uint32_t start = clock.TickMs();
  server_.Stop();
  server_.Stop();
  EXPECT_LT(clock.TickMs() - start, 500u);
  EXPECT_FALSE(server_.serving());
}

TEST(SimServerPace, AFrameIsStartDataParityAndStopBits) {
  struct Case {
    uint32_t baud;
    uint8_t dataBits, parity, stopBits;
    uint64_t ns;
  } const cases[] = {
      {9600, 8, 0, 1, 1041666}, {115200, 8, 0, 1, 86805}, {9600, 7, 2, 2, 1145833},
      {1200, 8, 1, 1, 9166666}, {0, 8, 0, 1, 0},
  };
  for (const Case& c : cases) {
    sim::LineSettings s;
    s.baudRate = c.baud;
    s.dataBits = c.dataBits;
    s.parity = c.parity;
    s.stopBits = c.stopBits;
    EXPECT_EQ(sim::ByteTimeNs(s), c.ns) << c.baud << " " << int(c.dataBits) << int(c.parity) << int(c.stopBits);
  }
}

// At 1200 baud a frame lasts 8.3 ms: the module takes the command in over
// five frames and its answer trickles back one frame a byte, so the whole
// exchange lasts at least fourteen frames.
TEST_F(SimServer, APacedLineTakesCommandAndAnswerAtTheBaudRate) {
  server_.Stop();
  sim::LineSettings slow;
  slow.baudRate = 1200;
  server_.SetPace(&slow);
  std::string error;
  ASSERT_TRUE(server_.ServePseudoTerminal(&error)) << error;
  port_.reset();
  port_ = Api().Open(server_.path().c_str()).port;
  ASSERT_NE(port_, nullptr);

  const auto start = std::chrono::steady_clock::now();
  Send(*port_, "#015\r");
  std::string answer;
  std::vector<double> arrivals;  // ms after the command, one per read
  while (answer.size() < 9 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    port_->Wait(10);
    char buffer[32];
    uint32_t got = 0;
    ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
    if (got == 0) continue;
    answer.append(buffer, got);
    arrivals.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  const double frameMs = sim::ByteTimeNs(slow) / 1e6;
  EXPECT_EQ(answer, ">+01.250\r");
  ASSERT_FALSE(arrivals.empty());
  EXPECT_GE(arrivals.front(), 6 * frameMs);
  EXPECT_GE(arrivals.back(), 14 * frameMs);
  EXPECT_GE(arrivals.size(), 3u);  // not in one piece
}

TEST(SimServerDevice, ServesADeviceAndNamesWhyOneCannotBeOpened) {
  sim::Bus bus;
  bus.Add("Velk4011", 7);
  sim::Server server(bus);
  std::string error;
  EXPECT_FALSE(server.ServeDevice("/dev/velk-no-such-port", sim::LineSettings(), &error));
  EXPECT_NE(error.find("does not exist"), std::string::npos) << error;

  // The slave of a pair of our own stands in for a serial device.
  platform::PseudoTerminal pair;
  ASSERT_TRUE(pair.Create()) << pair.error();
  std::unique_ptr<platform::Port> held = Api().Open(pair.slavePath().c_str()).port;
  ASSERT_NE(held, nullptr);
  EXPECT_FALSE(server.ServeDevice(pair.slavePath(), sim::LineSettings(), &error));
  EXPECT_NE(error.find("another program holds it"), std::string::npos) << error;
  held.reset();

  ASSERT_TRUE(server.ServeDevice(pair.slavePath(), sim::LineSettings(), &error)) << error;
  const std::unique_ptr<platform::Port> master = Api().Adopt(pair.TakeMaster());
  ASSERT_NE(master, nullptr);
  Send(*master, "$07M\r");
  EXPECT_EQ(ReadAnswer(*master), "!074011\r");
  server.Stop();
  // Closed again: the device can be opened by someone else.
  EXPECT_NE(Api().Open(pair.slavePath().c_str()).port, nullptr);
}

}  // namespace
