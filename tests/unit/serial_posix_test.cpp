// The system's serial services and the line on a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/pseudo_terminal.h"
#include "platform/serial_api.h"
#include "serial/serial_line.h"
#include "serial_line_fixture.h"

namespace {

class SerialPosix : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.Create()) << pty.error(); }

  int master() const { return static_cast<int>(pty.master()); }
  // The slave's name without "/dev/", as a host names a port.
  std::string PortName() const { return pty.slavePath().substr(5); }

  // Reads from the master side until a carriage return or `ms` passed.
  std::string ReadLineFromMaster(int ms = 2000) {
    std::string got;
    const uint32_t deadline = clock.TickMs() + ms;
    while (got.empty() || got.back() != '\r') {
      const uint32_t left = platform::TickRemaining(clock.TickMs(), deadline);
      if (left == 0) break;
      pollfd p = {master(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char c[64];
      const ssize_t n = read(master(), c, sizeof c);
      if (n > 0) got.append(c, n);
    }
    return got;
  }

  platform::PseudoTerminal pty;
  platform::SerialApi& api = platform::SystemSerialApi();
  platform::Clock& clock = platform::SystemClock();
};

// Each opening says why it failed, by value: nothing is left behind for a
// later call to ask, so two lines opening at once cannot mix their causes.
TEST_F(SerialPosix, OpensExclusivelyAndTellsWhyNot) {
  platform::Opened first = api.Open(PortName().c_str());
  ASSERT_NE(first.port, nullptr);
  EXPECT_EQ(first.error, platform::OpenError::kNone);
  const struct {
    std::string name;
    platform::OpenError error;
  } refused[] = {{pty.slavePath(), platform::OpenError::kBusy},
                 {PortName(), platform::OpenError::kBusy},
                 {"/dev/null", platform::OpenError::kNotSerial},
                 {"ttyNoSuchPort", platform::OpenError::kMissing},
                 {"", platform::OpenError::kMissing}};
  for (const auto& c : refused) {
    const platform::Opened opened = api.Open(c.name.c_str());
    EXPECT_EQ(opened.port, nullptr) << c.name;
    EXPECT_EQ(opened.error, c.error) << c.name;
  }
  first.port.reset();  // closes, and lets the next opening in
  EXPECT_NE(api.Open(pty.slavePath().c_str()).port, nullptr);
}

TEST_F(SerialPosix, ConfiguresAnyRateAndFramingRawWithHardwareFlowControlKept) {
  const std::unique_ptr<platform::Port> h = api.Open(pty.slavePath().c_str()).port;
  ASSERT_NE(h, nullptr);
  termios t;
  ASSERT_EQ(tcgetattr(static_cast<int>(h->handle()), &t), 0);
  t.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO;
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(tcsetattr(static_cast<int>(h->handle()), TCSANOW, &t), 0);

  const platform::LineSettings good[] = {
      {9600, 8, 0, 1}, {250000, 7, 3, 2}, {31250, 5, 4, 1}, {115200, 6, 1, 1}, {1200, 8, 2, 2}};
  for (const platform::LineSettings& want : good) {
    ASSERT_TRUE(h->Configure(want)) << want.baudRate;
    platform::LineSettings got;
    ASSERT_TRUE(h->Settings(&got));
    // A pseudo-terminal keeps rate and stop bits but always reports eight
    // data bits without parity.
    EXPECT_EQ(got.baudRate, want.baudRate);
    EXPECT_EQ(got.stopBits, want.stopBits);
  }
  const platform::LineSettings refused[] = {
      {9600, 9, 0, 1}, {9600, 8, 5, 1}, {9600, 8, 0, 0}, {9600, 8, 0, 3}, {0, 8, 0, 1}};
  for (const platform::LineSettings& bad : refused) EXPECT_FALSE(h->Configure(bad));

  ASSERT_EQ(tcgetattr(static_cast<int>(h->handle()), &t), 0);
  // An XON/XOFF byte in an answer is data, not a stop of the output.
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL));
  EXPECT_FALSE(t.c_oflag & (OPOST | ONLCR));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  // A standard rate is set with its standard code, so that other programs
  // read it back; the last rate set above was 1200.
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1200));
}

TEST_F(SerialPosix, ReadsWhatIsWaitingAndWaitsForInput) {
  const std::unique_ptr<platform::Port> h = api.Open(pty.slavePath().c_str()).port;
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(h->Configure(platform::LineSettings{9600, 8, 0, 1}));
  char bytes[8];
  uint32_t got = 99;
  ASSERT_TRUE(h->Read(bytes, sizeof bytes, &got));
  EXPECT_EQ(got, 0u);

  uint32_t start = clock.TickMs();
  EXPECT_EQ(h->Wait(60), platform::WaitResult::kTimeout);
  EXPECT_GE(clock.TickMs() - start, 55u);

  std::thread writer([this] {
    platform::SystemClock().SleepMs(20);
    EXPECT_EQ(write(master(), "abc", 3), 3);
  });
  start = clock.TickMs();
  EXPECT_EQ(h->Wait(5000), platform::WaitResult::kInput);
  EXPECT_LT(clock.TickMs() - start, 2000u);
  writer.join();
  ASSERT_TRUE(h->Read(bytes, 2, &got));
  EXPECT_EQ(std::string(bytes, got), "ab");
  EXPECT_EQ(h->Wait(0), platform::WaitResult::kInput);
  EXPECT_TRUE(h->Discard(platform::Queue::kInput));
  EXPECT_EQ(h->Wait(0), platform::WaitResult::kTimeout);
  // A look at a port whose far end is gone says so, as a wait does.
  pty.Close();
  EXPECT_EQ(h->Wait(0), platform::WaitResult::kHangUp);
  EXPECT_EQ(h->Wait(50), platform::WaitResult::kHangUp);
}

TEST_F(SerialPosix, WriteIsBoundedByItsTimeOut) {
  // A port opened here, and a blocking descriptor the host opened itself.
  for (const bool adopted : {false, true}) {
    const std::unique_ptr<platform::Port> h =
        adopted ? api.Adopt(open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
                : api.Open(pty.slavePath().c_str()).port;
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(h->Configure(platform::LineSettings{9600, 8, 0, 1}));
    ASSERT_TRUE(h->SetWriteLimit(0, 100));
    std::string big(4 << 20, 'x');  // nobody reads the master side
    uint32_t written = 0;
    const uint32_t start = clock.TickMs();
    EXPECT_FALSE(h->Write(big.data(), static_cast<uint32_t>(big.size()), &written)) << adopted;
    EXPECT_LT(written, big.size());
    EXPECT_LT(clock.TickMs() - start, 2000u) << adopted;
  }
}

class LineOnPseudoTerminal : public SerialPosix {
 protected:
  velk::PortSettings Settings(const std::string& name) { return testsupport::MakeSettings(name.c_str(), 9600, 1000); }
  serial::SerialLine line{api, clock};
};

TEST_F(LineOnPseudoTerminal, CommandAndAnswer) {
  const velk::PortSettings s = Settings(PortName());
  ASSERT_EQ(line.OpenPort(&s), 1);
  line.pollDelayMs = 0;
  // Opened again by its own name: the line lets go of it first, so the
  // exclusive opening succeeds.
  const platform::Handle first = line.portHandle();
  ASSERT_EQ(line.OpenPort(&s), 1);
  const platform::Handle held = line.portHandle();
  EXPECT_NE(held, platform::kNoHandle);
  if (held != first) { EXPECT_EQ(fcntl(static_cast<int>(first), F_GETFD), -1); }

  std::string seen;
  std::thread module([&] {
    seen = ReadLineFromMaster();
    EXPECT_EQ(write(master(), "!01", 3), 3);
    platform::SystemClock().SleepMs(30);
    EXPECT_EQ(write(master(), "0A\r", 3), 3);
  });
  char buffer[512] = "$01MD2\r";
  int32_t length = 7;
  const int32_t result = line.Exchange(buffer, &length, serial::kVelkAnswer);
  module.join();
  EXPECT_EQ(seen, "$01MD2\r");
  ASSERT_EQ(result, 1);
  EXPECT_EQ(std::string(buffer, length), "!010A\r");

  EXPECT_EQ(line.ClosePort(), 1);
  EXPECT_EQ(line.ClosePort(), 1);
  EXPECT_EQ(line.portHandle(), platform::kNoHandle);
  EXPECT_EQ(fcntl(static_cast<int>(held), F_GETFD), -1);
}

TEST_F(LineOnPseudoTerminal, ClosePortClosesOnlyTheAdoptedDescriptor) {
  const int canary = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int adopted = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(adopted, 0);
  const platform::Handle h = adopted;
  ASSERT_EQ(line.SetPortHandle(&h), 1);
  EXPECT_EQ(line.ClosePort(), 1);
  EXPECT_EQ(fcntl(adopted, F_GETFD), -1);
  EXPECT_NE(fcntl(canary, F_GETFD), -1);
  EXPECT_NE(fcntl(master(), F_GETFD), -1);
  close(canary);
}

TEST_F(LineOnPseudoTerminal, MissingPortFailsWithSettingsKept) {
  const velk::PortSettings s = Settings("ttyNoSuchPort");
  EXPECT_EQ(line.OpenPort(&s), 0);
  EXPECT_EQ(line.portHandle(), platform::kNoHandle);
  EXPECT_TRUE(line.portSettingsGiven);
  EXPECT_STREQ(line.portSettings.portName, "ttyNoSuchPort");
  EXPECT_EQ(line.answerTimeoutMs, 1000);
}

}  // namespace
