// The optional diagnostics interface of the built library, against the
// simulated bus: why each kind of bad line fails a packet, what the counters
// hold after a known sequence, and the trace of one exchange.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/faults.h"
#include "support/packet_builder.h"
#include "support/simulated_line.h"

namespace {

using testsupport::FloatBits;
using testsupport::HostPacket;
using testsupport::WithChecksum;

const int16_t kAnswerTimeoutMs = 150;

class Diagnostics : public testsupport::SimulatedLineTest {
 protected:
  Diagnostics() : SimulatedLineTest(kAnswerTimeoutMs) {}

  void SetUp() override {
    SimulatedLineTest::SetUp();
    void* out = nullptr;
    ASSERT_EQ(host.d->QueryInterface(velk::kIidIDriverDiagnostics, &out), velk::kOk);
    diag = static_cast<velk::IDriverDiagnostics*>(out);
    std::string error;
    module = bus.Add("Velk4011", 1, true, &error);
    ASSERT_NE(module, nullptr) << error;
    bus.Velk(1)->Update([](sim::VelkRegisters& r) { r.analogIn[0] = sim::ValueSource::Constant(5.125); });
    // No first wait: a fault's packet takes its time-out, no more.
    HostPacket<velk::TagItem> display("Velk4011", "DISPLAY", 10, 1);
    display.Add(0, velk::kTypeWord, 0);
    ASSERT_EQ(host.d->ProcessPacket(display.get()), 1);
    diag->ResetCounters();
  }
  void TearDown() override {
    if (diag != nullptr) diag->Release();
  }

  void SetFaults(const std::string& text) {
    sim::Faults faults;
    std::string error;
    ASSERT_TRUE(sim::ParseFaults(text, &faults, &error)) << error;
    module->SetFaults(faults);
  }

  int32_t ReadInput() {
    HostPacket<velk::TagItem2> p("Velk4011", "AI", 0, 0, 1, true);
    p.Add(0, velk::kTypeFloat);
    return host.d2->ProcessPacket2(p.get());
  }
  // An analog output of 123.456 does not fit the command's six characters.
  int32_t WriteOutsideField() {
    HostPacket<velk::TagItem2> p("Velk4021", "AO", 0, 1, 1, true);
    p.Add(0, velk::kTypeFloat, FloatBits(123.456f));
    return host.d2->ProcessPacket2(p.get());
  }

  velk::LineCounters Counters() {
    velk::LineCounters c{};
    c.size = sizeof c;
    EXPECT_EQ(diag->GetCounters(&c), 1);
    return c;
  }

  velk::IDriverDiagnostics* diag = nullptr;
  sim::Module* module = nullptr;
};

TEST_F(Diagnostics, SharesTheObjectsIdentityAndCount) {
  void* unknownFromDiag = nullptr;
  void* unknownFromDriver = nullptr;
  ASSERT_EQ(diag->QueryInterface(velk::kIidIUnknown, &unknownFromDiag), velk::kOk);
  ASSERT_EQ(host.d2->QueryInterface(velk::kIidIUnknown, &unknownFromDriver), velk::kOk);
  EXPECT_EQ(unknownFromDiag, unknownFromDriver);
  void* driver = nullptr;
  ASSERT_EQ(diag->QueryInterface(velk::kIidIDriver, &driver), velk::kOk);
  EXPECT_EQ(driver, static_cast<void*>(host.d));
  // Each QueryInterface above added one reference to the same count.
  const uint32_t before = host.d->AddRef();
  EXPECT_EQ(diag->AddRef(), before + 1);
  for (int i = 0; i < 5; ++i) diag->Release();
}

struct FaultCase {
  const char* what;
  const char* faults;  // the module's faults; null: the row sets up its own failure
  int32_t outcome;
};

// Each way a packet can fail on a real line, and the one reason it is given.
// The IDriver2 result is 0 for every failure, as before.
TEST_F(Diagnostics, EachFaultHasItsReason) {
  const FaultCase cases[] = {
      {"answers", "none", velk::kOutcomeOk},
      {"refuses", "refuse", velk::kOutcomeRefused},
      {"spoils its checksum", "bad_checksum", velk::kOutcomeChecksumMismatch},
      {"stays silent", "silent", velk::kOutcomeNoAnswer},
      {"never ends its answer", "no_cr", velk::kOutcomeNoCarriageReturn},
      {"answers too much", "overlong=600", velk::kOutcomeAnswerTooLong},
      {"late but whole", "delay=40,chunks=3/5", velk::kOutcomeOk},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetFaults(c.faults);
    EXPECT_EQ(ReadInput(), c.outcome == velk::kOutcomeOk ? 1 : 0);
    EXPECT_EQ(diag->GetLastOutcome(), c.outcome);
  }
  SetFaults("none");

  EXPECT_EQ(WriteOutsideField(), 0);
  EXPECT_EQ(diag->GetLastOutcome(), velk::kOutcomeNotBuilt);

  // The port the host closed, then the one that vanished under the driver.
  ASSERT_EQ(host.d->ClosePort(), 1);
  EXPECT_EQ(ReadInput(), 0);
  EXPECT_EQ(diag->GetLastOutcome(), velk::kOutcomeNoPort);
  const velk::PortSettings s = testsupport::MakeSettings(server.path().c_str(), 9600, kAnswerTimeoutMs);
  ASSERT_EQ(host.d->OpenPort(0, &s), 1);
  EXPECT_EQ(diag->GetLastPortError(), velk::kPortOpenOk);
  server.Stop();
  EXPECT_EQ(ReadInput(), 0);
  EXPECT_EQ(diag->GetLastOutcome(), velk::kOutcomePortLost);
}

TEST_F(Diagnostics, CountersAfterAKnownSequence) {
  SetFaults("none");
  ASSERT_EQ(ReadInput(), 1);
  ASSERT_EQ(ReadInput(), 1);
  SetFaults("refuse");
  ASSERT_EQ(ReadInput(), 0);
  SetFaults("silent");
  ASSERT_EQ(ReadInput(), 0);
  ASSERT_EQ(WriteOutsideField(), 0);

  const velk::LineCounters c = Counters();
  EXPECT_EQ(c.size, sizeof c);
  EXPECT_EQ(c.packets, 5u);
  EXPECT_EQ(c.exchanges, 4u);  // the refused write never reached the line
  const std::string command = WithChecksum("#01");
  EXPECT_EQ(c.bytesSent, 4 * command.size());
  const std::string good = WithChecksum(">+05.125");
  const std::string refused = WithChecksum("?01");
  EXPECT_EQ(c.bytesReceived, 2 * good.size() + refused.size());
  const uint32_t expected[velk::kOutcomeCount] = {2, 1, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0};
  for (int i = 0; i < velk::kOutcomeCount; ++i) {
    const uint32_t counted =
        i < velk::kOutcomesFirstCounted ? c.outcomes[i] : c.laterOutcomes[i - velk::kOutcomesFirstCounted];
    EXPECT_EQ(counted, expected[i]) << "outcome " << i;
  }
  // A collision, seen in the command's echo, is counted after the first
  // outcomes, where the record grew.
  bus.SetEcho(true);
  SetFaults("echo_garbled");
  ASSERT_EQ(ReadInput(), 0);
  EXPECT_EQ(diag->GetLastOutcome(), velk::kOutcomeBusCollision);
  EXPECT_EQ(Counters().laterOutcomes[velk::kOutcomeBusCollision - velk::kOutcomesFirstCounted], 1u);

  // A caller that knows only the first fields gets only those.
  velk::LineCounters shortRecord{};
  shortRecord.size = 8;
  shortRecord.exchanges = 77;
  ASSERT_EQ(diag->GetCounters(&shortRecord), 1);
  EXPECT_EQ(shortRecord.packets, 6u);
  EXPECT_EQ(shortRecord.exchanges, 77u);

  ASSERT_EQ(diag->ResetCounters(), 1);
  const velk::LineCounters reset = Counters();
  EXPECT_EQ(reset.packets, 0u);
  EXPECT_EQ(reset.bytesSent, 0u);
  EXPECT_EQ(reset.outcomes[velk::kOutcomeOk], 0u);
}

struct Chunk {
  int32_t direction;
  std::string bytes;
  uint32_t tickMs;
};

void VELK_CALL Record(void* context, int32_t direction, const char* bytes, int32_t length, uint32_t tickMs) {
  static_cast<std::vector<Chunk>*>(context)->push_back({direction, std::string(bytes, length), tickMs});
}

TEST_F(Diagnostics, TraceShowsOneExchangeByteForByte) {
  SetFaults("chunks=4/10");
  std::vector<Chunk> trace;
  ASSERT_EQ(diag->SetTraceHook(&Record, &trace), 1);
  ASSERT_EQ(ReadInput(), 1);
  ASSERT_EQ(diag->SetTraceHook(nullptr, nullptr), 1);
  ASSERT_EQ(ReadInput(), 1);  // not traced any more

  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0].direction, velk::kTraceSent);
  EXPECT_EQ(trace[0].bytes, WithChecksum("#01"));
  std::string answer;
  for (size_t i = 1; i < trace.size(); ++i) {
    EXPECT_EQ(trace[i].direction, velk::kTraceReceived);
    EXPECT_FALSE(trace[i].bytes.empty());
    EXPECT_GE(static_cast<int32_t>(trace[i].tickMs - trace[i - 1].tickMs), 0);
    answer += trace[i].bytes;
  }
  EXPECT_EQ(answer, WithChecksum(">+05.125"));
  EXPECT_GT(trace.size(), 2u);  // the module answered in pieces, and each was seen
}

}  // namespace
