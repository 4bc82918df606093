// The "Velk" packet path allocates nothing: the global allocation functions
// of this test program count while a packet is processed, and the in-memory
// line and clock under the driver are left out of the count (they keep logs
// in strings and vectors, which the real ports do not).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "driver/line_driver.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
// While counting, every allocation fails: memory has run out.
std::atomic<bool> exhausted{false};

void* CountedAllocation(size_t size) {
  if (counting.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (exhausted.load(std::memory_order_relaxed)) return nullptr;
  }
  return malloc(size == 0 ? 1 : size);
}

}  // namespace

#include "support/replaced_allocation.h"

namespace {

using testsupport::HostPacket;

// Not counted while it lives.
class Uncounted {
 public:
  Uncounted() : was_(counting.exchange(false)) {}
  ~Uncounted() { counting.store(was_); }

 private:
  bool was_;
};

// The in-memory line and clock, with every call left out of the count.
class UncountedPort final : public platform::Port {
 public:
  explicit UncountedPort(std::unique_ptr<platform::Port> port) : p_(std::move(port)) {}
  ~UncountedPort() override {
    Uncounted u;
    p_.reset();
  }
  platform::Handle handle() const override { return p_->handle(); }
  bool Configure(const platform::LineSettings& s) override {
    Uncounted u;
    return p_->Configure(s);
  }
  bool Settings(platform::LineSettings* s) override {
    Uncounted u;
    return p_->Settings(s);
  }
  bool SetWriteLimit(uint32_t perByte, uint32_t extra) override {
    Uncounted u;
    return p_->SetWriteLimit(perByte, extra);
  }
  bool SetDirection(platform::Direction d) override {
    Uncounted u;
    return p_->SetDirection(d);
  }
  bool Discard(platform::Queue q) override {
    Uncounted u;
    return p_->Discard(q);
  }
  bool Drain(uint32_t maxMs) override {
    Uncounted u;
    return p_->Drain(maxMs);
  }
  bool Read(void* b, uint32_t n, uint32_t* got) override {
    Uncounted u;
    return p_->Read(b, n, got);
  }
  bool Write(const void* b, uint32_t n, uint32_t* written) override {
    Uncounted u;
    return p_->Write(b, n, written);
  }
  platform::WaitResult Wait(uint32_t maxMs) override {
    Uncounted u;
    return p_->Wait(maxMs);
  }

 private:
  std::unique_ptr<platform::Port> p_;
};

class UncountedSerial final : public platform::SerialApi {
 public:
  explicit UncountedSerial(testsupport::FakeSerial& fake) : f_(fake) {}
  platform::Opened Open(const char* name) override {
    Uncounted u;
    platform::Opened opened = f_.Open(name);
    opened.port = Wrap(std::move(opened.port));
    return opened;
  }
  std::unique_ptr<platform::Port> Adopt(platform::Handle h) override {
    Uncounted u;
    return Wrap(f_.Adopt(h));
  }

 private:
  static std::unique_ptr<platform::Port> Wrap(std::unique_ptr<platform::Port> port) {
    if (port == nullptr) return nullptr;
    return std::unique_ptr<platform::Port>(new UncountedPort(std::move(port)));
  }
  testsupport::FakeSerial& f_;
};

class UncountedClock final : public platform::Clock {
 public:
  explicit UncountedClock(testsupport::VirtualClock& clock) : c_(clock) {}
  uint32_t TickMs() override { return c_.TickMs(); }
  void SleepMs(uint32_t ms) override {
    Uncounted u;
    c_.SleepMs(ms);
  }

 private:
  testsupport::VirtualClock& c_;
};

struct Exchange {
  const char* type;
  const char* registerName;
  int16_t registerCode;
  int16_t direction;
  int16_t channel;
  int16_t dataType;
  uint32_t value;
  const char* answer;  // to every command, checksum added
};

// A read of every family, the Velk4050 output write with its read-backs,
// the driver's own register and the broadcast.
const Exchange kExchanges[] = {
    {"Velk4011", "AI", 0, 0, 0, velk::kTypeFloat, 0, ">+01.250"},
    {"Velk4018", "AI", 0, 0, 2, velk::kTypeFloat, 0, ">+01.250"},
    {"Velk4021", "AO", 0, 0, 0, velk::kTypeFloat, 0, "!0101.250"},
    {"Velk4024", "AO", 0, 0, 1, velk::kTypeFloat, 0, "!01+01.250"},
    {"Velk4053", "DI", 0, 0, 5, velk::kTypeBit, 0, "!123400"},
    {"Velk4060", "DI", 0, 0, 0, velk::kTypeByte, 0, "!12A500"},
    {"Velk4080", "ICV", 7, 0, 1, velk::kTypeLong, 0, "!0100012345"},
    {"Velk4015", "NVALUE", 3, 0, 2, velk::kTypeFloat, 0, ">+01.250"},
    {"Velk4050", "DO", 1, 1, 3, velk::kTypeBit, 1, ">"},
    {"Velk4017", "DISPLAY", 4, 0, 0, velk::kTypeWord, 0, ""},
    {"Velk4015", "SYNSAM", 5, 1, 0, velk::kTypeBit, 1, ""},
};

class NoAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddPort("COM1");
    const velk::PortSettings s = testsupport::MakeSettings("COM1", 9600, 100);
    ASSERT_EQ(driver.OpenPort(0, &s), 1);
  }

 public:
  // The module answers every command with `answer`.
  void AnswerEveryCommand(const char* answer) {
    const std::string text = testsupport::WithChecksum(answer);
    fake.responder = [text](const std::string&) { return std::vector<testsupport::Chunk>{{2, text}}; };
  }

 public:
  template <typename Item>
  int32_t Process(HostPacket<Item>& p);

  testsupport::VirtualClock virtualClock;
  testsupport::FakeSerial fake{virtualClock};
  UncountedSerial serial{fake};
  UncountedClock clock{virtualClock};
  driver::LineDriver driver{driver::DriverServices{&serial, &clock}};
};

template <>
int32_t NoAllocation::Process(HostPacket<velk::TagItem>& p) {
  return driver.ProcessPacket(p.get());
}
template <>
int32_t NoAllocation::Process(HostPacket<velk::TagItem2>& p) {
  return driver.ProcessPacket2(p.get());
}

template <typename Item>
void CountEveryExchange(NoAllocation& t) {
  for (const Exchange& e : kExchanges) {
    SCOPED_TRACE(e.type);
    t.AnswerEveryCommand(e.answer);
    HostPacket<Item> p(e.type, e.registerName, e.registerCode, e.direction);
    p.Add(e.channel, e.dataType, e.value);
    p.Add(e.channel, e.dataType, e.value);
    allocations = 0;
    counting = true;
    const int32_t result = t.Process(p);
    counting = false;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(allocations.load(), 0);
  }
}

TEST_F(NoAllocation, CountingSeesAnAllocation) {
  allocations = 0;
  counting = true;
  std::vector<int>* probe = new std::vector<int>(3);
  counting = false;
  delete probe;
  EXPECT_EQ(allocations.load(), 2) << "the vector and its elements";
}

TEST_F(NoAllocation, PacketsOfEveryFamilyThroughIDriver2) { CountEveryExchange<velk::TagItem2>(*this); }
TEST_F(NoAllocation, PacketsOfEveryFamilyThroughIDriver) { CountEveryExchange<velk::TagItem>(*this); }

// A registered trace hook is handed the bytes where they lie: nothing is
// copied or formatted for it.
void VELK_CALL CountTracedBytes(void* context, int32_t, const char*, int32_t length, uint32_t) {
  *static_cast<int32_t*>(context) += length;
}

TEST_F(NoAllocation, PacketsWithATraceHook) {
  int32_t traced = 0;
  velk::IDriverDiagnostics* diagnostics = driver.diagnosticsInterface();
  ASSERT_EQ(diagnostics->SetTraceHook(&CountTracedBytes, &traced), 1);
  CountEveryExchange<velk::TagItem2>(*this);
  ASSERT_EQ(diagnostics->SetTraceHook(nullptr, nullptr), 1);
  velk::LineCounters counters{};
  counters.size = sizeof counters;
  ASSERT_EQ(diagnostics->GetCounters(&counters), 1);
  EXPECT_EQ(static_cast<uint32_t>(traced), counters.bytesSent + counters.bytesReceived);
  EXPECT_GT(traced, 0);
}

TEST_F(NoAllocation, FailuresAllocateNothingEither) {
  fake.responder = [](const std::string&) {
    return std::vector<testsupport::Chunk>{{2, testsupport::WithChecksum("?01")}};
  };
  HostPacket<velk::TagItem2> refused("Velk4011", "AI", 0, 0);
  refused.Add(0, velk::kTypeFloat);
  HostPacket<velk::TagItem2> noCommand("Velk4021", "AO", 0, 1);
  noCommand.Add(0, velk::kTypeFloat, 0x7F800000u);
  allocations = 0;
  counting = true;
  const int32_t a = driver.ProcessPacket2(refused.get());
  const int32_t b = driver.ProcessPacket2(noCommand.get());
  counting = false;
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(allocations.load(), 0);
}

// The display path builds its text in a fixed buffer; only the atom table
// may need memory (the library's own, off Windows). When memory runs out
// there, the host sees a failed packet through either interface, never an
// exception; where nothing needed memory, the read simply works.
TEST_F(NoAllocation, RunningOutOfMemoryFailsThePacketInsteadOfThrowing) {
  fake.responder = [](const std::string&) {
    return std::vector<testsupport::Chunk>{{2, "!02A DISPLAY NAME FAR LONGER THAN ANY SHORT TEXT\r"}};
  };
  HostPacket<velk::TagItem2> name2("Data7210", "MdNameM", 2, 0);
  name2.Add(2, velk::kTypeString);
  HostPacket<velk::TagItem> name1("Data7210", "MdNameM", 2, 0);
  name1.Add(2, velk::kTypeString);
  velk::IDriver* d = driver.driverInterface();
  velk::IDriver2* d2 = driver.driver2Interface();

  exhausted = true;
  counting = true;
  int32_t viaSecond = -1;
  int32_t viaFirst = -1;
  EXPECT_NO_THROW(viaSecond = d2->ProcessPacket2(name2.get()));
  EXPECT_NO_THROW(viaFirst = d->ProcessPacket(name1.get()));
  counting = false;
  exhausted = false;
  const int32_t expected = allocations.load() > 0 ? 0 : 1;
  EXPECT_EQ(viaSecond, expected);
  EXPECT_EQ(viaFirst, expected);

  // With memory back, the same read works.
  EXPECT_EQ(d2->ProcessPacket2(name2.get()), 1);
}

}  // namespace
