#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/line_timing.h"
#include "serial_line_fixture.h"

namespace {

using testsupport::Chunk;

class Transaction : public testsupport::SerialLineTest {
 protected:
  void Answer(std::vector<Chunk> chunks) {
    fake.responder = [chunks](const std::string&) { return chunks; };
  }
};

TEST_F(Transaction, ChunksMayTogetherTakeLongerThanTheTimeOut) {
  OpenLine(100, 15);
  Answer({{20, ">+01"}, {90, ".5"}, {90, "00"}, {90, "\r"}});
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(Exchange("#01\r"), 1);
  EXPECT_EQ(answer, ">+01.500\r");
  EXPECT_EQ(clock.TickMs() - start, 290u);  // taken the moment the last piece arrived
  EXPECT_EQ(fake.writes, std::vector<std::string>{"#01\r"});
}

TEST_F(Transaction, SilenceBetweenChunksLongerThanTheTimeOutFails) {
  OpenLine(100, 15);
  Answer({{20, ">+01"}, {102, ".5\r"}});
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Exchange("#01\r"), 0);
  EXPECT_EQ(answer, ">+01");
  EXPECT_EQ(clock.TickMs() - start, 20u + 101u);
}

TEST_F(Transaction, AnswerLengthLimit) {
  struct Case {
    size_t bytes;
    int32_t result;
  } cases[] = {{500, 1}, {501, 1}, {512, 1}, {513, 0}, {1100, 0}};
  OpenLine(100, 0);
  for (const Case& c : cases) {
    const std::string long_answer = "!" + std::string(c.bytes - 2, 'A') + "\r";
    Answer({{5, long_answer}});
    EXPECT_EQ(Exchange("$01M\r"), c.result) << c.bytes;
    if (c.result == 1) {
      EXPECT_EQ(answer, long_answer);
    } else {
      EXPECT_LE(answer.size(), 512u);
    }
    fake.Discard(fake.lastOpened, platform::Queue::kInput);
  }
}

TEST_F(Transaction, AnswerEndsAtItsFirstCarriageReturn) {
  // What a converter appends after the return (LF, NUL, 0xFF) or a second
  // answer run into the first is noise, not part of the answer.
  struct Case {
    std::vector<Chunk> chunks;
    const char* answer;
  } cases[] = {
      {{{5, "!01\rxy"}, {30, "z\r"}}, "!01\r"},    {{{5, "!01\r\n"}}, "!01\r"},
      {{{5, std::string("!01\r\0", 5)}}, "!01\r"}, {{{5, "!01\r\xFF"}}, "!01\r"},
      {{{5, "!0"}, {5, "1\r\n>+9\r"}}, "!01\r"},
  };
  OpenLine(100, 15);
  for (const Case& c : cases) {
    Answer(c.chunks);
    ASSERT_EQ(Exchange("$01M\r"), 1);
    EXPECT_EQ(answer, c.answer);
  }
  Answer({{5, "!01xy"}});
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Exchange("$01M\r"), 0);
  EXPECT_EQ(clock.TickMs() - start, 15u + 101u);  // deadline restarted by the piece (read at 15 ms)
}

// An answer that comes after its command failed must not be taken as the
// next command's: after a failure the line first waits until it has been
// quiet for the answer time-out. Only the command after a failure pays.
TEST_F(Transaction, LateAnswerAfterAFailureIsNotTheNext) {
  OpenLine(100, 0);
  int calls = 0;
  fake.responder = [&calls](const std::string& written) {
    ++calls;
    // The first module answers 150 ms late, the next one at once.
    return std::vector<Chunk>{{calls == 1 ? 150u : 5u, written == "#02\r" ? ">+5.0\r" : ">+9.0\r"}};
  };
  EXPECT_EQ(Exchange("#02\r"), 0);
  EXPECT_TRUE(line.outOfStep());
  uint32_t start = clock.TickMs();
  ASSERT_EQ(Exchange("#03\r"), 1);
  EXPECT_EQ(answer, ">+9.0\r");
  // Quiet from the late answer (49 ms after the failure) for 100 ms more.
  EXPECT_GE(clock.TickMs() - start, 149u);
  EXPECT_LE(clock.TickMs() - start, 160u);
  start = clock.TickMs();
  ASSERT_EQ(Exchange("#03\r"), 1);
  EXPECT_EQ(clock.TickMs() - start, 5u);

  // The packet layer can tell the line an answer was unusable as well.
  line.RejectAnswer(velk::kOutcomeBadAnswer);
  start = clock.TickMs();
  ASSERT_EQ(Exchange("#03\r"), 1);
  EXPECT_EQ(clock.TickMs() - start, 105u);

  // A host that paused after the failure has waited the guard already; one
  // that finds input waiting still drops it and waits.
  line.RejectAnswer(velk::kOutcomeBadAnswer);
  clock.Advance(100);
  start = clock.TickMs();
  ASSERT_EQ(Exchange("#03\r"), 1);
  EXPECT_EQ(clock.TickMs() - start, 5u);
  line.RejectAnswer(velk::kOutcomeBadAnswer);
  clock.Advance(100);
  fake.Inject(0, ">+5.0\r");
  start = clock.TickMs();
  ASSERT_EQ(Exchange("#03\r"), 1);
  EXPECT_EQ(answer, ">+9.0\r");
  EXPECT_EQ(clock.TickMs() - start, 105u);

  // A line that never falls quiet holds the call, guard and exchange
  // together, no longer than the bound on a whole answer.
  line.RejectAnswer(velk::kOutcomeBadAnswer);
  fake.responder = nullptr;
  for (uint32_t at = 0; at < 2000; at += 50) fake.Inject(at, "x");
  start = clock.TickMs();
  EXPECT_EQ(Exchange("#03\r"), 0);
  EXPECT_LE(clock.TickMs() - start, line.WholeAnswerBoundMs() + 1u);
}

// A module that answers later than twice its time-out: the guard after its
// first failure waits as long as the bound allows and finds the answer; the
// line names the module and how late it came, and its guard covers that
// after every later failure. A module quiet through that first guard is not
// waited for so long again.
TEST_F(Transaction, VeryLateAnswerIsFoundAndWaitedOut) {
  OpenLine(100, 0);
  fake.responder = [](const std::string& written) {
    const bool late = written == "#0C\r";
    return std::vector<Chunk>{{late ? 250u : 5u, late ? ">+5.000\r" : ">+9.000\r"}};
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(Exchange("#0C\r"), 0);
    const uint32_t start = clock.TickMs();
    ASSERT_EQ(Exchange("#0D\r"), 1);
    EXPECT_EQ(answer, ">+9.000\r");
    EXPECT_LE(clock.TickMs() - start, line.WholeAnswerBoundMs());
  }
  EXPECT_EQ(line.latenessOf(12), 250u);
  EXPECT_EQ(line.diagnostics.counters.lateModule, 12);
  EXPECT_EQ(line.diagnostics.counters.lateAnswerMs, 250u);

  fake.responder = [](const std::string& written) {
    return written == "#0E\r" ? std::vector<Chunk>{} : std::vector<Chunk>{{5, ">+9.000\r"}};
  };
  const uint32_t firstGuard[] = {line.WholeAnswerBoundMs() - 100u, 100u};
  for (uint32_t guard : firstGuard) {
    EXPECT_EQ(Exchange("#0E\r"), 0);
    const uint32_t start = clock.TickMs();
    ASSERT_EQ(Exchange("#0D\r"), 1);
    EXPECT_NEAR(clock.TickMs() - start, guard + 5u, 1u);
  }
  EXPECT_EQ(line.latenessOf(14), serial::SerialLine::kNotLate);
}

// A module answering later than the bound, each of its commands reading
// another register: no answer is ever taken for a command it does not
// belong to, the line names a lateness no shorter than the true one, and a
// module answering in time again is served again after a check.
TEST_F(Transaction, AnswersLaterThanTheBoundAreNeverTakenForAnotherCommand) {
  for (const uint32_t timesTimeOut : {5u, 6u}) {
    SCOPED_TRACE(timesTimeOut);
    OpenLine(200, 0);  // a bound of 933 ms at 9600 baud
    const uint32_t late = timesTimeOut * 200u;
    bool inTime = false;
    // The answer names the command it belongs to.
    fake.responder = [&](const std::string& written) {
      const bool slow = written.compare(0, 3, "#0C") == 0 && !inTime;
      return std::vector<Chunk>{{slow ? late : 5u, ">" + written.substr(1, 3) + "\r"}};
    };
    const char* const commands[] = {"#0C0\r", "#0C1\r", "#0D\r"};
    int wrong = 0, good = 0;
    for (int round = 0; round < 30; ++round) {
      for (const char* command : commands) {
        if (Exchange(command) != 1) continue;
        ++good;
        if (answer != ">" + std::string(command + 1, strlen(command) - 2) + "\r") ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(good, 0);
    EXPECT_GE(line.tooLateOf(12), late);
    EXPECT_EQ(line.diagnostics.counters.lateModule, 12);
    EXPECT_GE(line.diagnostics.counters.lateAnswerMs, late);

    inTime = true;
    int served = 0;
    for (int round = 0; round < 100 && served == 0; ++round) {
      clock.Advance(100);
      if (Exchange("#0C0\r") == 1 && answer == ">0C0\r") ++served;
    }
    EXPECT_EQ(served, 1);
    EXPECT_EQ(line.tooLateOf(12), 0u);
    line.ClosePort();
  }
}

// Bytes that came after a clean answer (a second module at the same
// address, a converter's late echo) are dropped before the next command;
// a line with nothing waiting is only looked at, not discarded.
TEST_F(Transaction, BytesSinceACleanAnswerAreNotTheNextAnswer) {
  const struct {
    const char* stray;
    bool discarded;
  } cases[] = {{">+7.0\r", true}, {"", false}};
  for (const auto& c : cases) {
    OpenLine(100, 0);
    Answer({{5, ">+1.0\r"}});
    ASSERT_EQ(Exchange("#01\r"), 1);
    if (c.stray[0] != '\0') fake.Inject(20, c.stray);
    clock.Advance(50);
    fake.log.clear();
    Answer({{5, ">+2.0\r"}});
    ASSERT_EQ(Exchange("#01\r"), 1) << c.stray;
    EXPECT_EQ(answer, ">+2.0\r") << c.stray;
    EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "discard both"), c.discarded ? 1 : 0) << c.stray;
    line.ClosePort();
  }
}

TEST_F(Transaction, SilentModuleFailsAtTheTimeOutAfterTheFirstWait) {
  struct Case {
    int16_t timeoutMs;
    uint16_t pollDelayMs;
    uint32_t failsAfter;
  } cases[] = {{100, 15, 101}, {100, 0, 101}, {10, 50, 50}, {-1, 15, 15}};
  for (const Case& c : cases) {
    OpenLine(c.timeoutMs, c.pollDelayMs);
    clock.sleeps.clear();
    fake.waits.clear();
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(Exchange("#01\r"), 0);
    EXPECT_EQ(clock.TickMs() - start, c.failsAfter) << c.timeoutMs << "/" << c.pollDelayMs;
    // No first wait of 0 ms: with nothing to wait for, nothing sleeps.
    if (c.pollDelayMs == 0) {
      EXPECT_TRUE(clock.sleeps.empty());
    } else {
      ASSERT_FALSE(clock.sleeps.empty());
      EXPECT_EQ(clock.sleeps[0], c.pollDelayMs);
    }
    // The empty polls wait on the line up to just past the deadline.
    if (c.failsAfter > c.pollDelayMs) { EXPECT_EQ(fake.waits.at(0), c.failsAfter - c.pollDelayMs); }
    line.ClosePort();
  }
}

TEST_F(Transaction, BroadcastReturnsOnceWritten) {
  OpenLine(100, 15);
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(Exchange("#**\r"), 1);
  EXPECT_EQ(answer, "#**\r");
  EXPECT_EQ(clock.TickMs(), start);
  EXPECT_TRUE(clock.sleeps.empty());
}

// Nothing waits for a broadcast's echo: when it comes during the next
// exchange, it is neither that command's echo nor its answer.
TEST_F(Transaction, BroadcastEchoLateIntoTheNextExchange) {
  OpenLine(100, 0);
  fake.responder = [](const std::string& written) {
    return written == "#**\r" ? std::vector<Chunk>{{2, "#**\r"}} : std::vector<Chunk>{{3, "#01\r"}, {3, ">+1.0\r"}};
  };
  ASSERT_EQ(Exchange("#**\r"), 1);
  ASSERT_EQ(Exchange("#01\r"), 1);
  EXPECT_EQ(answer, ">+1.0\r");
}

TEST_F(Transaction, BroadcastRefusedOnceIsSentAgainAndWaitedOn) {
  OpenLine(100, 15);
  fake.failNextWrites = 1;
  Answer({{5, "!\r"}});
  ASSERT_EQ(Exchange("#**\r"), 1);
  EXPECT_EQ(answer, "!\r");
  EXPECT_EQ(fake.writes, std::vector<std::string>{"#**\r"});

  // Nobody answers a broadcast: the second try ends at the time-out.
  fake.failNextWrites = 1;
  fake.responder = nullptr;
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Exchange("#**\r"), 0);
  EXPECT_EQ(clock.TickMs() - start, 101u);
}

TEST_F(Transaction, LateBytesFromBeforeTheWriteAreNotTheAnswer) {
  OpenLine(100, 15);
  fake.Inject(0, ">+99.000\r");  // an earlier module's answer, after its time-out
  Answer({{5, ">+01.500\r"}});
  ASSERT_EQ(Exchange("#01\r"), 1);
  EXPECT_EQ(answer, ">+01.500\r");
}

// What a bad line does to one transaction, on the virtual clock: the
// result, the answer kept, how long it took and why it failed.
TEST_F(Transaction, LineFaults) {
  struct Case {
    const char* what;
    std::vector<Chunk> chunks;
    bool hangUpAfterWrite;
    int32_t result;
    const char* answer;
    uint32_t tookAtMost;
    int32_t outcome;
  } cases[] = {
      {"noise before the answer",
       {{5, std::string("\x00\xFF", 2)}, {1, "\x13>+12.5\r"}},
       false,
       1,
       ">+12.5\r",
       6,
       velk::kOutcomeOk},
      {"noise only", {{5, std::string("\xFF\x11\x13", 3)}}, false, 0, "", 101, velk::kOutcomeNoAnswer},
      // One byte every 90 ms never lets the silence time-out pass; the bound
      // on the whole answer (2 x 100 ms + 512 characters at 9600 baud) does.
      {"no carriage return", {{5, ">+12.5"}}, false, 0, ">+12.5", 106, velk::kOutcomeNoCarriageReturn},
      {"hang-up", {}, true, 0, nullptr, 1, velk::kOutcomePortLost},
      // A two-wire adapter hands the command back before the answer.
      {"echo in pieces", {{1, "#0"}, {1, "1\r"}, {3, ">+12.5\r"}}, false, 1, ">+12.5\r", 5, velk::kOutcomeOk},
      {"noise around the echo",
       {{2, "\xFF#01\r"}, {2, std::string("\0>+12.5\r", 8)}},
       false,
       1,
       ">+12.5\r",
       4,
       velk::kOutcomeOk},
      // The answer's time-out starts behind the echo.
      {"echo, then a late answer", {{4, "#01\r"}, {99, ">+12.5\r"}}, false, 1, ">+12.5\r", 103, velk::kOutcomeOk},
      {"echo and no answer", {{4, "#01\r"}}, false, 0, "", 105, velk::kOutcomeNoAnswer},
      // An echo that differs from the command: its answer is not used.
      {"echo with a byte changed", {{4, "#00\r"}, {5, ">+12.5\r"}}, false, 0, "", 4, velk::kOutcomeBusCollision},
      {"echo cut short", {{4, "#0\r"}, {5, ">+12.5\r"}}, false, 0, "", 4, velk::kOutcomeBusCollision},
      {"echo cut off", {{4, "#0"}}, false, 0, "", 105, velk::kOutcomeBusCollision},
      // Last: its bytes go on arriving after it failed.
      {"trickle", std::vector<Chunk>(100, Chunk{90, ">"}), false, 0, nullptr, 2 * 100 + 534 + 90,
       velk::kOutcomeNoCarriageReturn},
  };
  for (const Case& c : cases) {
    OpenLine(100, 0);
    line.diagnostics.BeginPacket();
    Answer(c.chunks);
    if (c.hangUpAfterWrite) {
      const std::vector<Chunk> chunks = c.chunks;
      fake.responder = [this, chunks](const std::string&) {
        fake.hungUp = true;
        return chunks;
      };
    }
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(Exchange("#01\r"), c.result) << c.what;
    EXPECT_LE(clock.TickMs() - start, c.tookAtMost) << c.what;
    if (c.answer != nullptr) { EXPECT_EQ(answer, c.answer) << c.what; }
    EXPECT_EQ(line.diagnostics.outcome, c.outcome) << c.what;
    fake.hungUp = false;
    fake.responder = nullptr;
    clock.Advance(10);  // what comes after a failure reaches the closed port
    line.ClosePort();
  }
}

// After a hang-up the next packet opens the port again from the settings,
// once: a port still gone fails that packet's later exchanges at once.
TEST_F(Transaction, HungUpPortIsReopenedOncePerPacket) {
  OpenLine(100, 0);
  const platform::Handle first = line.portHandle();
  Answer({{5, ">1\r"}});
  fake.hungUp = true;
  EXPECT_EQ(Exchange("#01\r"), 0);
  EXPECT_TRUE(line.portLost());
  fake.hungUp = false;

  fake.RemovePort("COM1");  // not back yet
  line.StartPacket();
  fake.log.clear();
  EXPECT_EQ(Exchange("#01\r"), 0);
  EXPECT_EQ(Exchange("#01\r"), 0);
  EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "open COM1"), 1);

  fake.AddPort("COM1");
  line.StartPacket();
  ASSERT_EQ(Exchange("#01\r"), 1);
  EXPECT_NE(line.portHandle(), first);
  EXPECT_FALSE(line.portLost());
}

TEST_F(Transaction, AdoptedPortThatHungUpIsNotReopened) {
  const platform::Handle h = fake.OpenHandle("COM1");
  ASSERT_EQ(line.SetPortHandle(&h), 1);
  fake.hungUp = true;
  EXPECT_EQ(Exchange("#01\r"), 0);
  fake.hungUp = false;
  line.StartPacket();
  fake.log.clear();
  Answer({{5, ">1\r"}});
  ASSERT_EQ(Exchange("#01\r"), 1);  // the host's port, as it stands
  EXPECT_EQ(line.portHandle(), h);
  EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "open COM1"), 0);
}

class TransactionAcrossTickWrap : public testsupport::SerialLineTest {
 protected:
  TransactionAcrossTickWrap() : SerialLineTest(0xFFFFFFFFu - 40) {}
};

TEST_F(TransactionAcrossTickWrap, DeadlinesHoldAcrossTheWrap) {
  OpenLine(100, 15);
  fake.responder = [](const std::string&) { return std::vector<Chunk>{{30, ">1"}, {90, "2\r"}}; };
  ASSERT_EQ(Exchange("#01\r"), 1);
  EXPECT_EQ(answer, ">12\r");
  EXPECT_LT(clock.TickMs(), 1000u);  // wrapped

  clock.Set(0xFFFFFFFFu - 40);
  fake.responder = nullptr;
  EXPECT_EQ(Exchange("#01\r"), 0);
  EXPECT_EQ(clock.TickMs(), 0xFFFFFFFFu - 40 + 101);
}

TEST_F(Transaction, RequestToSendFramesTheWriteUntilDrained) {
  OpenLine(100, 15);
  fake.drainMs = 7;
  uint32_t written = 0;
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(line.WriteCommand(line.port(), "#01\r", 4, &written), 1);
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"discard both", "transmit", "write #01\r", "drain", "receive"}));
  // Dropped only once the output had left the wire.
  EXPECT_EQ(clock.TickMs() - start, 7u);
  EXPECT_FALSE(fake.transmitting);
}

// The drain under the direction switch sleeps through the wire time still
// queued, asks again, and gives up past its bound or when the port fails.
TEST(DrainQueue, SleepsThroughTheWireTimeWithinItsBound) {
  const struct {
    uint32_t drainsAfterMs;  // the queue holds 4 characters until then; 0: never
    bool portFails;
    bool drained;
    std::vector<uint32_t> sleeps;
  } cases[] = {
      {5, false, true, {5}},         // 4 characters of 1250 us
      {12, false, true, {5, 5, 5}},  // a slower transmitter: asked again
      {0, false, false, {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 1}},
      {5, true, false, {}},
  };
  for (const auto& c : cases) {
    testsupport::VirtualClock clock;
    const uint32_t start = clock.TickMs();
    const bool drained = platform::DrainQueue(clock, 1250, 100, [&](uint32_t* bytes) {
      const bool sending = c.drainsAfterMs == 0 || clock.TickMs() - start < c.drainsAfterMs;
      *bytes = sending ? 4 : 0;
      return !c.portFails;
    });
    EXPECT_EQ(drained, c.drained) << c.drainsAfterMs;
    EXPECT_EQ(clock.sleeps, c.sleeps) << c.drainsAfterMs;
  }
}

TEST_F(Transaction, OutputThatNeverDrainsFailsAndReleasesTheBus) {
  OpenLine(100, 15);
  fake.drainMs = 5000;
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Exchange("#01\r"), 0);
  EXPECT_GE(clock.TickMs() - start, 101u);
  EXPECT_LE(clock.TickMs() - start, 106u);
  EXPECT_FALSE(fake.transmitting);
}

TEST_F(Transaction, RefusedWriteClearsBothQueuesAndDropsRequestToSend) {
  OpenLine(100, 15);
  fake.failWrites = true;
  EXPECT_EQ(Exchange("#**\r"), 0);  // a broadcast is tried twice, then given up
  EXPECT_EQ(fake.log,
            (std::vector<std::string>{"discard both", "transmit", "discard output", "receive", "discard input",
                                      "discard both", "transmit", "discard output", "receive", "discard input"}));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(Transaction, FailedReadFails) {
  OpenLine(100, 15);
  Answer({{5, ">1\r"}});
  fake.failReads = true;
  EXPECT_EQ(Exchange("#01\r"), 0);
}

TEST_F(Transaction, AdoptedPortWithoutOpeningLeavesRequestToSendAlone) {
  const platform::Handle h = fake.OpenHandle("COM1");
  ASSERT_EQ(line.SetPortHandle(&h), 1);
  Answer({{5, ">1\r"}});
  ASSERT_EQ(Exchange("#01\r"), 1);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"open COM1", "discard both", "write #01\r", "read 3"}));
}

TEST_F(Transaction, NoPortFailsWithoutTouchingTheLine) {
  EXPECT_EQ(Exchange("#01\r"), 0);
  int32_t negative = -1;
  EXPECT_EQ(line.Exchange(buffer, &negative, serial::kVelkAnswer), 0);
  EXPECT_EQ(line.Exchange(nullptr, &negative, serial::kVelkAnswer), 0);
  EXPECT_TRUE(fake.log.empty());
}

}  // namespace
