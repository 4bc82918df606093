// The back-off schedule of velkhost poll and velkd on a virtual clock: when a
// device or a busy packet is held back, when its tries come, and that any
// answer ends it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_backoff.h"
#include "support/fake_serial.h"

namespace {

using hostlib::BackoffSettings;
using hostlib::LineBackoff;

const int32_t kOk = velk::kOutcomeOk, kSilent = velk::kOutcomeNoAnswer, kBusy = velk::kOutcomeBusyBound,
              kRefused = velk::kOutcomeRefused, kNoPort = velk::kOutcomeNoPort, kLost = velk::kOutcomePortLost,
              kSpoilt = velk::kOutcomeChecksumMismatch, kNoReason = velk::kOutcomeCount;

// Packets 0 and 1 belong to device 0, packet 2 to device 1.
size_t DeviceOf(size_t packet) { return packet < 2 ? 0 : 1; }

struct Step {
  uint32_t afterMs;  // the clock moves on so far first
  size_t packet;
  int32_t outcome;   // what the packet brings when it is sent
  const char* held;  // "": it is sent; else the reason it is held back
};

struct Schedule {
  const char* name;
  std::vector<Step> steps;
  uint32_t offlineAfter = 3;
  uint32_t retryMaxMs = 30000;
  uint32_t start = 1000;
};

hostlib::PacketOutcome Outcome(int32_t reason) {
  hostlib::PacketOutcome outcome;
  outcome.ran = true;
  outcome.result = reason == kOk ? 1 : 0;
  outcome.reason = reason;
  return outcome;
}

const char kOff1[] = "offline, next try in 1 s";
const char kBusy1[] = "busy, next try in 1 s";

TEST(LineBackoff, Schedule) {
  const Schedule schedules[] = {
      {"three silences hold a device back; its tries double up to the maximum",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kOk, kOff1},
        {999, 1, kOk, kOff1},
        {1, 0, kSilent, ""},
        {1999, 0, kOk, "offline, next try in 1 s"},
        {1, 0, kSilent, ""},
        {3999, 0, kOk, kOff1},
        {1, 0, kSilent, ""},
        {8000, 0, kSilent, ""},
        {16000, 0, kSilent, ""},
        {29999, 0, kOk, kOff1},
        {1, 0, kSilent, ""},
        {28000, 0, kOk, "offline, next try in 2 s"},
        {2000, 0, kSilent, ""}}},
      {"the first answer of a try restores the device at once",
       {{0, 0, kSilent, ""},
        {0, 1, kSilent, ""},
        {0, 0, kSilent, ""},
        {1000, 1, kOk, ""},
        {0, 0, kOk, ""},
        {0, 1, kOk, ""}}},
      {"one try per period, however many packets the device has",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {1000, 0, kSilent, ""},
        {0, 1, kOk, "offline, next try in 2 s"},
        {2000, 1, kOk, ""},
        {0, 0, kOk, ""}}},
      {"a try that ended on a port failure still waits its period",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {1000, 0, kNoPort, ""},
        {500, 0, kOk, kOff1},
        {500, 0, kOk, ""}}},
      {"only failures in a row count",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 1, kOk, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kOk, kOff1}}},
      {"a module that answers is never offline",
       {{0, 0, kRefused, ""},
        {0, 0, kRefused, ""},
        {0, 0, kSpoilt, ""},
        {0, 0, velk::kOutcomeBadAnswer, ""},
        {0, 0, velk::kOutcomeNoCarriageReturn, ""},
        {0, 0, velk::kOutcomeAnswerTooLong, ""},
        {0, 0, kOk, ""}}},
      {"a refusal restores an offline device: it answered",
       {{0, 0, kSilent, ""}, {0, 0, kSilent, ""}, {0, 0, kSilent, ""}, {1000, 0, kRefused, ""}, {0, 1, kOk, ""}}},
      {"the port's failures neither count nor forgive",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kNoPort, ""},
        {0, 0, kLost, ""},
        {0, 0, velk::kOutcomeNotBuilt, ""},
        {0, 0, kSilent, ""},
        {0, 0, kOk, kOff1}}},
      {"a failure without a reason is taken for silence",
       {{0, 0, kNoReason, ""}, {0, 0, kNoReason, ""}, {0, 0, kNoReason, ""}, {0, 0, kOk, kOff1}}},
      {"a busy packet is held back alone; the device's other packets keep their rate",
       {{0, 0, kBusy, ""},
        {0, 0, kBusy, ""},
        {0, 0, kBusy, ""},
        {0, 0, kOk, kBusy1},
        {0, 1, kOk, ""},
        {1000, 0, kBusy, ""},
        {0, 0, kOk, "busy, next try in 2 s"},
        {2000, 0, kOk, ""},
        {0, 0, kOk, ""}}},
      {"a busy answer is no silence: it restores the device",
       {{0, 0, kSilent, ""}, {0, 0, kSilent, ""}, {0, 0, kSilent, ""}, {1000, 1, kBusy, ""}, {0, 0, kOk, ""}}},
      {"another device is never held back",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 2, kOk, ""},
        {0, 2, kSilent, ""},
        {0, 2, kOk, ""}}},
      {"offline_after 0 turns it off",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kBusy, ""},
        {0, 0, kBusy, ""},
        {0, 0, kBusy, ""},
        {0, 0, kOk, ""}},
       0},
      {"offline_after 1 and a 4 s maximum",
       {{0, 0, kSilent, ""},
        {500, 0, kOk, kOff1},
        {500, 0, kSilent, ""},
        {2000, 0, kSilent, ""},
        {4000, 0, kSilent, ""},
        {0, 0, kOk, "offline, next try in 4 s"},
        {4000, 0, kOk, ""}},
       1,
       4000},
      {"the tick's wrap in the middle of a wait",
       {{0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {0, 0, kSilent, ""},
        {600, 0, kOk, kOff1},
        {400, 0, kSilent, ""},
        {1999, 0, kOk, kOff1},
        {1, 0, kOk, ""}},
       3,
       30000,
       0xFFFFFC00u},
  };
  for (const Schedule& s : schedules) {
    SCOPED_TRACE(s.name);
    testsupport::VirtualClock clock(s.start);
    BackoffSettings settings;
    settings.offlineAfter = s.offlineAfter;
    settings.retryMaxMs = s.retryMaxMs;
    LineBackoff backoff(2, 3, settings, clock);
    for (size_t i = 0; i < s.steps.size(); ++i) {
      const Step& step = s.steps[i];
      SCOPED_TRACE("step " + std::to_string(i + 1));
      clock.Advance(step.afterMs);
      std::string reason;
      const bool sent = backoff.MaySend(DeviceOf(step.packet), step.packet, &reason);
      EXPECT_EQ(sent ? std::string() : reason, step.held);
      if (sent) backoff.Record(DeviceOf(step.packet), step.packet, Outcome(step.outcome));
    }
  }
}

// A loop with nothing to send sleeps until the soonest try, not longer (a
// device would come back late) and not zero (it would spin).
TEST(LineBackoff, NothingToSendWaitsForTheSoonestTry) {
  testsupport::VirtualClock clock;
  LineBackoff backoff(2, 3, BackoffSettings(), clock);
  EXPECT_EQ(backoff.NextTryInMs(), 0u);
  for (int i = 0; i < 3; ++i) backoff.Record(0, 0, Outcome(kSilent));
  clock.Advance(300);
  for (int i = 0; i < 3; ++i) backoff.Record(1, 2, Outcome(kSilent));
  EXPECT_TRUE(backoff.Offline(0));
  EXPECT_EQ(backoff.NextTryInMs(), 700u);
  clock.Advance(700);
  EXPECT_EQ(backoff.NextTryInMs(), 0u);
}

}  // namespace
