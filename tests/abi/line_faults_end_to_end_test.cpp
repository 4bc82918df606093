// A bad line, end to end: the simulator shapes every answer with one fault
// at a time, and one packet of every family goes through both interfaces.
// Each must come back with the right result within a bound that only
// catches a hang, leave its items alone when it fails, and the next packet
// must be good again once the fault is gone, also after the simulator was
// stopped mid-exchange and started again behind the same port name. No row
// may ever leave a wrong value marked good.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "sim/bus.h"
#include "sim/faults.h"
#include "sim/server.h"
#include "sim/velk_module.h"
#include "support/host_driver.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

using testsupport::FloatBits;
using testsupport::HostPacket;
using testsupport::SlotBits;

const int16_t kTimeoutMs = 300;
const uint32_t kPrefill = 0xCCCCCCCCu;
const uint64_t kStamp = 0x0123456789ABCDEFull;

// A Velk module with checksums (its analog input answers ">" and a number),
// one without them whose alarm limit answers "!" AA and a number, a
// Data7810 and a Data7210.
enum Family { kVelk, kVelkBare, kData7810, kData7210, kFamilies };
const uint8_t kAddress[kFamilies] = {1, 4, 2, 3};

// What one family's packet gives under a fault.
enum Expect : uint8_t {
  kGood,      // 1, the right value, quality 192
  kFails,     // 0, the items untouched
  kNotWrong,  // kGood or kFails: either is sound, a wrong value is not
};

struct FaultRow {
  const char* faults;  // in the simulator's text form
  Expect expect[kFamilies];
  uint32_t maxMs;  // per packet; only catches a hang
  bool hangUp;     // the simulator stops while the packet waits
  // The answer comes after the time-out, while the next packet, whose
  // module now reads other values, waits for its own answer.
  bool lateIntoNext = false;
  // The line hands every command back first, as a two-wire adapter does.
  bool echo = false;
};

// The bound of a call, the guard after a failure included: twice the
// time-out and the wire time of the longest answer (512 characters at 9600
// baud), and a margin for a loaded machine's scheduling.
const uint32_t kBound = 2 * kTimeoutMs + 534 + 60;

// Data answers carry no checksum; a Data7810 answer must have its carriage
// return where its length puts it, so padding before it fails the answer.
const FaultRow kRows[] = {
    {"silent", {kFails, kFails, kFails, kFails}, kBound, false},
    {"refuse", {kFails, kFails, kFails, kFails}, kBound, false},
    {"bad_checksum", {kFails, kGood, kGood, kGood}, kBound, false},
    {"chunks=3/40", {kGood, kGood, kGood, kGood}, kBound, false},
    // Two pieces, the second after the time-out: gone before the next packet.
    {"chunks=6/400", {kFails, kFails, kFails, kFails}, kBound, false},
    {"delay=150", {kGood, kGood, kGood, kGood}, kBound, false},
    {"overlong=600", {kFails, kFails, kFails, kFails}, kBound, false},
    {"no_cr", {kFails, kFails, kFails, kFails}, kBound, false},
    {"stray=00FF", {kGood, kGood, kGood, kGood}, kBound, false},
    {"stray=1311", {kGood, kGood, kGood, kGood}, kBound, false},     // XOFF and XON
    {"delay=450", {kFails, kFails, kFails, kFails}, kBound, false},  // a late answer
    // Up to three time-outs late: past the guard that follows the failure,
    // the answer may reach the packet after it, which then reads the same
    // value; never a value marked good that the module does not hold.
    {"delay=600", {kNotWrong, kNotWrong, kNotWrong, kNotWrong}, kBound, false},
    {"delay=900", {kNotWrong, kNotWrong, kNotWrong, kNotWrong}, kBound, false},
    {"delay=5000", {kFails, kFails, kFails, kFails}, kTimeoutMs / 2 + 100, true},
    // Late by more than the time-out, and due while the next packet waits.
    {"delay=350", {kFails, kFails, kFails, kFails}, kBound, false, true},
    // Another module's answer: only an echoed address tells it.
    {"other_address", {kGood, kFails, kFails, kFails}, kBound, false},
    // Cut short by one to six characters, the checksum taken over what is
    // left: every field has its width, so none passes as a value.
    {"truncate=1", {kFails, kFails, kFails, kFails}, kBound, false},
    {"truncate=2", {kFails, kFails, kFails, kFails}, kBound, false},
    {"truncate=3", {kFails, kFails, kFails, kFails}, kBound, false},
    {"truncate=4", {kFails, kFails, kFails, kFails}, kBound, false},
    {"truncate=5", {kFails, kFails, kFails, kFails}, kBound, false},
    {"truncate=6", {kFails, kFails, kFails, kFails}, kBound, false},
    // An answer ends at its first carriage return; what follows is noise.
    {"twice", {kGood, kGood, kGood, kGood}, kBound, false},
    {"after_cr=0A", {kGood, kGood, kGood, kGood}, kBound, false},
    {"after_cr=00", {kGood, kGood, kGood, kGood}, kBound, false},
    // Noise holding a lead character, ">" and "!".
    {"stray=3E", {kNotWrong, kNotWrong, kNotWrong, kNotWrong}, kBound, false},
    {"stray=21", {kNotWrong, kNotWrong, kNotWrong, kNotWrong}, kBound, false},
    // A refusal as long as an answer.
    {"refuse,overlong=12", {kFails, kFails, kFails, kFails}, kBound, false},
    // Behind the command's echo: taken off, or a collision when it differs.
    {"none", {kGood, kGood, kGood, kGood}, kBound, false, false, true},
    {"chunks=3/40", {kGood, kGood, kGood, kGood}, kBound, false, false, true},
    {"delay=150", {kGood, kGood, kGood, kGood}, kBound, false, false, true},
    {"silent", {kFails, kFails, kFails, kFails}, kBound, false, false, true},
    {"echo_garbled", {kFails, kFails, kFails, kFails}, kBound, false, false, true},
};

// One line of the matrix: its own simulator, pseudo-terminal and driver
// object, so that two run their share of the rows side by side.
class FaultLine {
 public:
  explicit FaultLine(int shard) : shard_(shard) {}
  int RunRows(int shards);

  void SetUp() {
    link_ = "/tmp/velk-faults-" + std::to_string(getpid()) + "-" + std::to_string(shard_);
    ASSERT_LT(link_.size(), sizeof(velk::PortSettings::portName));
    std::string error;
    ASSERT_NE(bus.Add("Velk4011", kAddress[kVelk], true, &error), nullptr) << error;
    ASSERT_NE(bus.Add("Velk4011", kAddress[kVelkBare], false, &error), nullptr) << error;
    ASSERT_NE(bus.Add("Data7810", kAddress[kData7810], false, &error), nullptr) << error;
    ASSERT_NE(bus.Add("Data7210", kAddress[kData7210], false, &error), nullptr) << error;
    SetValues(5.125, 7.25);
    ASSERT_TRUE(server.ServePseudoTerminal(&error, link_)) << error;
    ASSERT_NE(host.d, nullptr);
    const velk::PortSettings s = testsupport::MakeSettings(link_.c_str(), 9600, kTimeoutMs);
    ASSERT_EQ(host.d->OpenPort(0, &s), 1);
    // The display path waits for the serial device's own time-out, which
    // only an opening of the device itself sets: a failed probe makes one.
    velk::DeviceRecord device{};
    SetFaults("silent");
    EXPECT_EQ(host.d->ProbeDevice("Data7210", 2, &device), 0);
  }

  void TearDown() { server.Stop(); }

  // What the two Velk modules read, and what their packets must then get.
  void SetValues(double analogIn, double alarmHigh) {
    bus.Velk(kAddress[kVelk])->Update([analogIn](sim::VelkRegisters& r) {
      r.analogIn[0] = sim::ValueSource::Constant(analogIn);
    });
    bus.Velk(kAddress[kVelkBare])->Update([alarmHigh](sim::VelkRegisters& r) { r.alarmHigh = alarmHigh; });
    velkValue_ = static_cast<float>(analogIn);
    bareValue_ = static_cast<float>(alarmHigh);
  }

  void SetFaults(const std::string& text) {
    sim::Faults faults;
    std::string error;
    ASSERT_TRUE(sim::ParseFaults(text, &faults, &error)) << error;
    for (uint8_t address : kAddress) bus.At(address)->SetFaults(faults);
  }

  // One packet of `family` through the interface of `Item`, checked
  // against `expect`; with `stopMidway` the simulator stops while it waits.
  template <typename Item>
  void Run(Family family, Expect expect, const std::string& what, uint32_t maxMs, bool stopMidway) {
    HostPacket<Item>* packet = nullptr;
    HostPacket<Item> velk("Velk4011", "AI", 0, 0, kAddress[kVelk], true);
    HostPacket<Item> bare("Velk4011", "AHI", 4, 0, kAddress[kVelkBare], false);
    HostPacket<Item> d7810("Data7810", "Baud", 1, 0, kAddress[kData7810], false);
    HostPacket<Item> d7210("Data7210", "CfgStaT", 0, 0, kAddress[kData7210], false);
    switch (family) {
      case kVelk:
        packet = &velk;
        velk.Add(0, velk::kTypeFloat, kPrefill);
        break;
      case kVelkBare:
        packet = &bare;
        bare.Add(0, velk::kTypeFloat, kPrefill);
        break;
      case kData7810:
        packet = &d7810;
        d7810.Add(0, velk::kTypeWord, kPrefill);
        break;
      default:
        packet = &d7210;
        d7210.Add(kAddress[kData7210], velk::kTypeString, kPrefill);
        break;
    }
    Prefill(packet->item(0));
    const std::vector<uint8_t> before = packet->ItemBytes();

    std::thread stopper;
    if (stopMidway)
      stopper = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        server.Stop();
      });
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = ThreadCpuMs();
    const int32_t result = Process(*packet);
    const double cpuMs = ThreadCpuMs() - cpuBefore;
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (stopper.joinable()) stopper.join();
    if (stopMidway) hungUpCpuMs = cpuMs;

    EXPECT_LE(tookMs, static_cast<long long>(maxMs)) << what;
    Expect effective = expect;
    if (effective == kNotWrong) effective = result == 1 ? kGood : kFails;
    switch (effective) {
      case kNotWrong:
      case kGood:
        EXPECT_EQ(result, 1) << what;
        EXPECT_NE(SlotBits(packet->item(0).value), kPrefill) << what;
        if (family == kVelk) {
          EXPECT_EQ(SlotBits(packet->item(0).value), FloatBits(velkValue_)) << what;
        } else if (family == kVelkBare) {
          EXPECT_EQ(SlotBits(packet->item(0).value), FloatBits(bareValue_)) << what;
        } else if (family == kData7810) {
          EXPECT_EQ(SlotBits(packet->item(0).value), 9600u) << what;
        }
        ExpectQuality(packet->item(0), velk::kQualityGood, what);
        break;
      case kFails:
        EXPECT_EQ(result, 0) << what;
        EXPECT_EQ(packet->ItemBytes(), before) << what;
        break;
    }
  }

  static void Prefill(velk::TagItem& item) { testsupport::SetSlotBits(item.value, kPrefill); }
  static void Prefill(velk::TagItem2& item) {
    testsupport::SetSlotBits(item.value, kPrefill);
    item.quality = 0x55;
    item.timeStampLow = static_cast<uint32_t>(kStamp);
  }
  static void ExpectQuality(velk::TagItem&, int, const std::string&) {}
  static void ExpectQuality(velk::TagItem2& item, int quality, const std::string& what) {
    EXPECT_EQ(item.quality, quality) << what;
  }
  int32_t Process(HostPacket<velk::TagItem>& p) { return host.d->ProcessPacket(p.get()); }
  int32_t Process(HostPacket<velk::TagItem2>& p) { return host.d2->ProcessPacket2(p.get()); }

  static double ThreadCpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
  }

  const int shard_;
  std::string link_;
  testsupport::HostLibrary library;
  sim::Bus bus;
  sim::Server server{bus};
  testsupport::HostDriver host{library};
  double hungUpCpuMs = -1;
  float velkValue_ = 0;
  float bareValue_ = 0;
};

// The rows of shard `shard` of `shards` on this line.
int FaultLine::RunRows(int shards) {
  const char* names[kFamilies] = {"Velk4011", "Velk4011 without checksums", "Data7810", "Data7210"};
  int rows = 0;
  int index = 0;
  for (const FaultRow& row : kRows) {
    if (index++ % shards != shard_) continue;
    for (int f = 0; f < kFamilies; ++f) {
      for (int v2 = 0; v2 < 2; ++v2) {
        const std::string what = std::string(row.faults) + (row.echo ? " behind an echo / " : " / ") + names[f] +
                                 (v2 ? " / IDriver2" : " / IDriver");
        bus.SetEcho(row.echo);
        SetFaults(row.faults);
        if (v2)
          Run<velk::TagItem2>(static_cast<Family>(f), row.expect[f], what, row.maxMs, row.hangUp);
        else
          Run<velk::TagItem>(static_cast<Family>(f), row.expect[f], what, row.maxMs, row.hangUp);
        if (row.hangUp) {
          EXPECT_GE(hungUpCpuMs, 0.0);
          EXPECT_LE(hungUpCpuMs, 50.0) << what << ": a hung-up line must not spin";
          printf("[ figure   ] %s: %.2f ms of CPU for the packet that hung up\n", what.c_str(), hungUpCpuMs);
          // Back behind the same name: the next packet opens it again.
          std::string error;
          if (!server.ServePseudoTerminal(&error, link_)) {
            ADD_FAILURE() << error;
            return rows;
          }
        }
        // A late answer is due while the next packet would run: let it
        // arrive first, so that only the purge keeps it out. Or, late into
        // the next packet: that one's own answer comes a little after it,
        // and its module reads other values by now. The late answer lands
        // 50 ms past the time-out and 50 ms before the next one's own, a
        // margin that a loaded machine's scheduling does not cross.
        if (row.lateIntoNext) {
          SetFaults("delay=100");
          SetValues(6.5, 8.75);
        } else {
          // Only a delayed answer can still be on its way.
          // Only a delayed answer can still be on its way; one due past the
          // guard is let in before the next packet, whose own answer would
          // otherwise queue behind it in the simulator.
          const bool late = strstr(row.faults, "delay=") != nullptr || strstr(row.faults, "chunks=") != nullptr;
          int settleMs = 200;
          if (strncmp(row.faults, "delay=", 6) == 0 && !row.hangUp)
            settleMs = std::max(settleMs, atoi(row.faults + 6) - kTimeoutMs + 100);
          if (row.expect[f] != kGood && late) std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
          SetFaults("none");
        }
        const std::string next = what + ", then the next packet";
        if (v2)
          Run<velk::TagItem2>(static_cast<Family>(f), kGood, next, kBound, false);
        else
          Run<velk::TagItem>(static_cast<Family>(f), kGood, next, kBound, false);
        if (row.lateIntoNext) {
          SetValues(5.125, 7.25);
          std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the next packet's own answer
        }
        bus.SetEcho(false);
        ++rows;
      }
    }
  }
  return rows;
}

// Two lines side by side: the rows wait on time-outs, not on the processor,
// and the matrix runs under three builds in CI.
TEST(LineFaults, EveryFaultOnEveryFamilyUnderBothInterfaces) {
  const int kShards = 2;
  int rows[kShards] = {};
  std::vector<std::thread> threads;
  for (int shard = 0; shard < kShards; ++shard)
    threads.emplace_back([shard, &rows] {
      FaultLine line(shard);
      line.SetUp();
      if (!::testing::Test::HasFatalFailure()) rows[shard] = line.RunRows(kShards);
      line.TearDown();
    });
  for (std::thread& t : threads) t.join();
  printf("[ figure   ] %d rows: faults x families x interfaces\n", rows[0] + rows[1]);
}

}  // namespace
