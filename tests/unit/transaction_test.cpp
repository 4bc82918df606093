#include <string>
#include <vector>

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
  ASSERT_EQ(Transact("#01\r"), 1);
  EXPECT_EQ(answer, ">+01.500\r");
  EXPECT_EQ(clock.TickMs() - start, 290u);  // taken the moment the last piece arrived
  EXPECT_EQ(fake.writes, std::vector<std::string>{"#01\r"});
}

TEST_F(Transaction, SilenceBetweenChunksLongerThanTheTimeOutFails) {
  OpenLine(100, 15);
  Answer({{20, ">+01"}, {102, ".5\r"}});
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Transact("#01\r"), 0);
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
    const std::string long_answer = std::string(c.bytes - 1, 'A') + "\r";
    Answer({{5, long_answer}});
    EXPECT_EQ(Transact("$01M\r"), c.result) << c.bytes;
    if (c.result == 1) {
      EXPECT_EQ(answer, long_answer);
    } else {
      EXPECT_LE(answer.size(), 512u);
    }
    fake.Purge(fake.lastOpened, platform::kPurgeRxClear);
  }
}

TEST_F(Transaction, OnlyAReadEndingInCarriageReturnCompletes) {
  OpenLine(100, 15);
  // The CR inside the first piece does not end the answer.
  Answer({{5, "!01\rxy"}, {30, "z\r"}});
  ASSERT_EQ(Transact("$01M\r"), 1);
  EXPECT_EQ(answer, "!01\rxyz\r");

  Answer({{5, "!01\rxy"}});
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Transact("$01M\r"), 0);
  EXPECT_EQ(clock.TickMs() - start, 15u + 101u);  // deadline restarted by the piece (read at 15 ms)
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
    EXPECT_EQ(Transact("#01\r"), 0);
    EXPECT_EQ(clock.TickMs() - start, c.failsAfter) << c.timeoutMs << "/" << c.pollDelayMs;
    ASSERT_FALSE(clock.sleeps.empty());
    EXPECT_EQ(clock.sleeps[0], c.pollDelayMs);
    // The empty polls wait on the line up to just past the deadline.
    if (c.failsAfter > c.pollDelayMs) {
      EXPECT_EQ(fake.waits.at(0), c.failsAfter - c.pollDelayMs);
    }
    line.ClosePort();
  }
}

TEST_F(Transaction, BroadcastReturnsOnceWritten) {
  OpenLine(100, 15);
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(Transact("#**\r"), 1);
  EXPECT_EQ(answer, "#**\r");
  EXPECT_EQ(clock.TickMs(), start);
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(Transaction, BroadcastRefusedOnceIsSentAgainAndWaitedOn) {
  OpenLine(100, 15);
  fake.failNextWrites = 1;
  Answer({{5, "!\r"}});
  ASSERT_EQ(Transact("#**\r"), 1);
  EXPECT_EQ(answer, "!\r");
  EXPECT_EQ(fake.writes, std::vector<std::string>{"#**\r"});

  // Nobody answers a broadcast: the second try ends at the time-out.
  fake.failNextWrites = 1;
  fake.responder = nullptr;
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Transact("#**\r"), 0);
  EXPECT_EQ(clock.TickMs() - start, 101u);
}

TEST_F(Transaction, LateBytesFromBeforeTheWriteStartTheAnswer) {
  OpenLine(100, 15);
  fake.Inject(0, ">late");
  Answer({{5, "\r"}});
  ASSERT_EQ(Transact("#01\r"), 1);
  EXPECT_EQ(answer, ">late\r");
}

class TransactionAcrossTickWrap : public testsupport::SerialLineTest {
 protected:
  TransactionAcrossTickWrap() : SerialLineTest(0xFFFFFFFFu - 40) {}
};

TEST_F(TransactionAcrossTickWrap, DeadlinesHoldAcrossTheWrap) {
  OpenLine(100, 15);
  fake.responder = [](const std::string&) { return std::vector<Chunk>{{30, ">1"}, {90, "2\r"}}; };
  ASSERT_EQ(Transact("#01\r"), 1);
  EXPECT_EQ(answer, ">12\r");
  EXPECT_LT(clock.TickMs(), 1000u);  // wrapped

  clock.Set(0xFFFFFFFFu - 40);
  fake.responder = nullptr;
  EXPECT_EQ(Transact("#01\r"), 0);
  EXPECT_EQ(clock.TickMs(), 0xFFFFFFFFu - 40 + 101);
}

TEST_F(Transaction, RequestToSendFramesTheWriteUntilDrained) {
  OpenLine(100, 15);
  fake.drainMs = 7;
  uint32_t written = 0;
  const uint32_t start = clock.TickMs();
  ASSERT_EQ(line.WriteCommand(line.portHandle, "#01\r", 4, &written), 1);
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"rts 1", "purge 5", "write #01\r", "rts 0"}));
  EXPECT_EQ(clock.TickMs() - start, 7u);  // dropped only once the queue was empty
  EXPECT_FALSE(fake.rts);
}

TEST_F(Transaction, OutputThatNeverDrainsFailsAndReleasesTheBus) {
  OpenLine(100, 15);
  fake.drainMs = 5000;
  const uint32_t start = clock.TickMs();
  EXPECT_EQ(Transact("#01\r"), 0);
  EXPECT_EQ(clock.TickMs() - start, 101u);
  EXPECT_FALSE(fake.rts);
}

TEST_F(Transaction, RefusedWriteClearsBothQueuesAndDropsRequestToSend) {
  OpenLine(100, 15);
  fake.failWrites = true;
  EXPECT_EQ(Transact("#**\r"), 0);  // a broadcast is tried twice, then given up
  EXPECT_EQ(fake.log, (std::vector<std::string>{"rts 1", "purge 5", "purge 5", "rts 0", "purge 10", "rts 1",
                                                "purge 5", "purge 5", "rts 0", "purge 10"}));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(Transaction, FailedReadFails) {
  OpenLine(100, 15);
  Answer({{5, ">1\r"}});
  fake.failReads = true;
  EXPECT_EQ(Transact("#01\r"), 0);
}

TEST_F(Transaction, AdoptedPortWithoutOpeningLeavesRequestToSendAlone) {
  const platform::Handle h = fake.Open("COM1");
  ASSERT_EQ(line.SetPortHandle(&h), 1);
  Answer({{5, ">1\r"}});
  ASSERT_EQ(Transact("#01\r"), 1);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"open COM1", "write #01\r", "read 3"}));
}

TEST_F(Transaction, NoPortFailsWithoutTouchingTheLine) {
  EXPECT_EQ(Transact("#01\r"), 0);
  int32_t negative = -1;
  EXPECT_EQ(line.Transact(buffer, &negative), 0);
  EXPECT_EQ(line.Transact(nullptr, &negative), 0);
  EXPECT_TRUE(fake.log.empty());
}

}  // namespace
