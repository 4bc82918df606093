// The simulated bus: routing, broadcast, the record of commands, and the
// faults a module shows on purpose.
#include <gtest/gtest.h>

#include <math.h>

#include <string>
#include <thread>

#include "protocol/encoding.h"
#include "sim/bus.h"
#include "sim/line_framer.h"

namespace {

sim::Faults Parsed(const std::string& text) {
  sim::Faults faults;
  std::string error;
  EXPECT_TRUE(sim::ParseFaults(text, &faults, &error)) << text << ": " << error;
  return faults;
}

TEST(SimBus, RoutesByLeadAndAddress) {
  sim::Bus bus;
  ASSERT_NE(bus.Add("Velk4017", 1), nullptr);
  ASSERT_NE(bus.Add("Velk4051", 0xFE), nullptr);
  std::string error;
  EXPECT_EQ(bus.Add("Velk4021", 1, false, &error), nullptr);
  EXPECT_NE(error.find("already taken by a Velk4017"), std::string::npos) << error;

  EXPECT_EQ(bus.Handle("$FE6\r").Bytes(), "!000000\r");
  EXPECT_TRUE(bus.Handle("$026\r").empty());  // nobody at 02
  EXPECT_TRUE(bus.Handle("$fe6\r").empty());  // addresses are upper-case hex
  EXPECT_TRUE(bus.Handle("!01\r").empty());   // an answer is not a command
  EXPECT_TRUE(bus.Handle("$0\r").empty());
  EXPECT_TRUE(bus.Handle("\r").empty());
  EXPECT_TRUE(bus.Handle(nullptr, 0).empty());

  const auto recent = bus.Recent(4);
  ASSERT_EQ(recent.size(), 4u);
  EXPECT_EQ(recent[0].note, "not a command");
  EXPECT_EQ(bus.Recent(100).front().command, "$FE6\r");
  EXPECT_EQ(bus.Recent(100).front().answer, "!000000\r");
  EXPECT_EQ(bus.Recent(100).front().address, 0xFE);
  EXPECT_EQ(bus.Recent(100)[1].note, "no module");
  EXPECT_EQ(bus.CommandCount(), 7u);
  EXPECT_EQ(bus.Find("$026\r").size(), 1u);
  bus.ClearRecord();
  EXPECT_TRUE(bus.Recent().empty());
  EXPECT_EQ(bus.CommandCount(), 7u);
}

TEST(SimBus, BroadcastReachesEveryModuleAndIsNotAnswered) {
  sim::Bus bus;
  auto* first = static_cast<sim::VelkModule*>(bus.Add("Velk4015", 1));
  auto* second = static_cast<sim::VelkModule*>(bus.Add("Velk4015", 2, true));
  auto* silent = static_cast<sim::VelkModule*>(bus.Add("Velk4015", 3));
  silent->SetFaults(Parsed("silent"));
  EXPECT_TRUE(bus.Handle("#**\r").empty());
  EXPECT_TRUE(first->registers().syncFresh);
  EXPECT_FALSE(second->registers().syncFresh);  // it expects "#**77"
  EXPECT_FALSE(silent->registers().syncFresh);
  EXPECT_TRUE(bus.Handle("#**77\r").empty());
  EXPECT_TRUE(second->registers().syncFresh);
  EXPECT_EQ(bus.Recent(1)[0].note, "broadcast");
}

TEST(SimFaults, TextForm) {
  const sim::Faults all = Parsed(
      "silent, refuse,bad_checksum,delay=200,chunks=3/20,overlong,no_cr,stray,always_busy,other_address,truncate,"
      "twice,after_cr,echo_garbled");
  EXPECT_TRUE(all.silent && all.refuse && all.badChecksum && all.noCarriageReturn && all.alwaysBusy);
  EXPECT_EQ(all.delayMs, 200u);
  EXPECT_EQ(all.chunkBytes, 3u);
  EXPECT_EQ(all.chunkGapMs, 20u);
  EXPECT_EQ(all.overlongBytes, 600u);
  EXPECT_EQ(all.strayBytes, std::string("\x00\xFF", 2));
  EXPECT_EQ(all.Describe(),
            "silent,refuse,bad_checksum,delay=200,chunks=3/20,overlong=600,no_cr,stray=00FF,always_busy,"
            "other_address,truncate=3,twice,after_cr=0A,echo_garbled");
  EXPECT_EQ(Parsed(all.Describe()).Describe(), all.Describe());
  EXPECT_EQ(Parsed("stray=7e0d").strayBytes, "~\r");
  EXPECT_EQ(Parsed("other_address=0a").Describe(), "other_address=0A");
  EXPECT_EQ(Parsed("other_address=9").otherAddress, 9);  // as a file's number gives it
  EXPECT_FALSE(Parsed("").any());
  EXPECT_FALSE(Parsed("none").any());
  EXPECT_EQ(Parsed("none").Describe(), "none");

  for (const char* bad : {"slient", "delay", "delay=-1", "delay=abc", "chunks=3", "chunks=0/5", "stray=0", "stray=GG",
                          "silent=1", "overlong=0", "truncate=0", "other_address=123", "twice=2", "after_cr=G"}) {
    sim::Faults faults;
    faults.delayMs = 7;
    std::string error;
    EXPECT_FALSE(sim::ParseFaults(bad, &faults, &error)) << bad;
    EXPECT_NE(error.find("fault"), std::string::npos) << bad;
    EXPECT_EQ(faults.delayMs, 7u) << "a failed parse changes nothing: " << bad;
  }
}

TEST(SimFaults, ShapeAnswer) {
  const std::string plain = ">+05.123\r";
  const std::string signedAnswer =
      ">+05.123"
      "92"
      "\r";  // checksum of ">+05.123"
  const std::string echoing = "!01+05.000\r";
  ASSERT_TRUE(protocol::AnswerChecksumOk(signedAnswer.data(), static_cast<int32_t>(signedAnswer.size())));

  struct {
    const char* faults;
    bool checksummed;
    const std::string& answer;
    std::string bytes;
    uint32_t pieces;
    uint32_t totalMs;
    int address;  // of the answering module
  } cases[] = {
      {"", false, plain, plain, 1, 0, -1},
      {"delay=150", false, plain, plain, 1, 150, -1},
      {"chunks=4/10", false, plain, plain, 3, 20, -1},
      {"delay=5,chunks=4/10", false, plain, plain, 3, 25, -1},
      {"no_cr", false, plain, ">+05.123", 1, 0, -1},
      {"stray=00FF", false, plain, std::string("\x00\xFF", 2) + plain, 1, 0, -1},
      {"bad_checksum", true, signedAnswer, ">+05.12393\r", 1, 0, -1},
      {"bad_checksum", false, plain, plain, 1, 0, -1},  // nothing to spoil
      // The checksum is taken again over what is left: only the form is wrong.
      {"truncate", true, signedAnswer, ">+05.FC\r", 1, 0, -1},
      {"truncate=20", false, plain, ">\r", 1, 0, -1},
      {"twice", false, plain, plain + plain, 1, 0, -1},
      {"after_cr", false, plain, plain + "\n", 1, 0, -1},
      {"after_cr=00,twice", false, plain, plain + '\0' + plain + '\0', 1, 0, -1},
      {"other_address", false, echoing, "!02+05.000\r", 1, 0, 1},
      {"other_address=09", false, echoing, "!09+05.000\r", 1, 0, 1},
      {"other_address", false, plain, plain, 1, 0, 1},  // no echo to change
  };
  for (const auto& c : cases) {
    const sim::Reply reply = sim::ShapeAnswer(c.answer, c.checksummed, Parsed(c.faults), c.address);
    EXPECT_EQ(reply.Bytes(), c.bytes) << c.faults;
    EXPECT_EQ(reply.pieces.size(), c.pieces) << c.faults;
    EXPECT_EQ(reply.TotalMs(), c.totalMs) << c.faults;
  }
  const sim::Reply chunked = sim::ShapeAnswer(plain, false, Parsed("delay=5,chunks=4/10"));
  EXPECT_EQ(chunked.pieces[0].bytes, ">+05");
  EXPECT_EQ(chunked.pieces[0].afterMs, 5u);
  EXPECT_EQ(chunked.pieces[2].bytes, "\r");
  EXPECT_EQ(chunked.pieces[2].afterMs, 10u);

  // Over-long: padded before the checksum, which still matches, so only the
  // length is wrong.
  const std::string longer = sim::ShapeAnswer(signedAnswer, true, Parsed("overlong=513")).Bytes();
  EXPECT_EQ(longer.size(), 513u);
  EXPECT_EQ(longer.back(), '\r');
  EXPECT_EQ(longer.compare(0, 8, ">+05.123"), 0);
  EXPECT_TRUE(protocol::AnswerChecksumOk(longer.data(), static_cast<int32_t>(longer.size())));
  EXPECT_EQ(sim::ShapeAnswer(plain, false, Parsed("overlong=4")).Bytes(), plain);
}

TEST(SimFaults, SilentAndRefusingModules) {
  sim::Bus bus;
  sim::Module* plain = bus.Add("Velk4011", 1);
  sim::Module* signedModule = bus.Add("Velk4011", 2, true);
  plain->SetFaults(Parsed("refuse"));
  signedModule->SetFaults(Parsed("refuse"));
  EXPECT_EQ(bus.Handle("#01\r").Bytes(), "?01\r");
  EXPECT_EQ(bus.Handle("#0285\r").Bytes(),
            "?02"
            "A1"
            "\r");
  // A refusing module does not carry the command out.
  EXPECT_EQ(bus.Handle("@01DO3C\r").Bytes(), "?01\r");
  EXPECT_EQ(bus.Velk(1)->registers().digitalOut, 0u);

  plain->SetFaults(Parsed("silent"));
  EXPECT_TRUE(bus.Handle("@01DO3C\r").empty());
  EXPECT_EQ(bus.Velk(1)->registers().digitalOut, 0u);
  EXPECT_EQ(bus.Recent(1)[0].note, "silent (fault)");
  plain->SetFaults(sim::Faults());
  EXPECT_EQ(bus.Handle("@01DO3C\r").Bytes(), "!01\r");

  // A line that echoes hands every command back first, also to a silent
  // module and to no module; a garbled echo has its middle byte changed.
  bus.SetEcho(true);
  EXPECT_EQ(bus.Handle("@01DO3C\r").Bytes(), "@01DO3C\r!01\r");
  plain->SetFaults(Parsed("silent"));
  EXPECT_EQ(bus.Handle("#01\r").Bytes(), "#01\r");
  EXPECT_EQ(bus.Handle("#07\r").Bytes(), "#07\r");
  plain->SetFaults(Parsed("echo_garbled"));
  EXPECT_EQ(bus.Handle("#01\r").Bytes(), "#00\r>+00.000\r");
}

TEST(SimLineFramer, FramesAtCarriageReturnAndBoundsLongLines) {
  sim::LineFramer framer(8);
  std::vector<std::string> lines;
  framer.Feed("$01M\r#0", 7, &lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "$01M\r");
  EXPECT_EQ(framer.pending(), 2u);
  framer.Feed("1\r", 2, &lines);
  EXPECT_EQ(lines.back(), "#01\r");
  // Too long without a carriage return: dropped through its own end.
  const std::string noise(20, 'x');
  framer.Feed(noise.data(), noise.size(), &lines);
  framer.Feed("yy\r$02M\r", 8, &lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "$02M\r");
  EXPECT_EQ(framer.dropped(), 1u);
  // Binary-safe: a zero byte inside a line is kept.
  framer.Feed("#0\0\r", 4, &lines);
  EXPECT_EQ(lines.back(), std::string("#0\0\r", 4));
}

}  // namespace

namespace {

TEST(SimValueSource, MovesAndStartsAgain) {
  using sim::ValueSource;
  struct {
    ValueSource source;
    uint32_t ms;
    double value;
  } cases[] = {
      {ValueSource::Constant(3.5), 123456, 3.5},
      {ValueSource::Ramp(0, 10, 20), 0, 0.0},
      {ValueSource::Ramp(0, 10, 20), 5000, 2.5},
      {ValueSource::Ramp(0, 10, 20), 25000, 2.5},   // the second climb
      {ValueSource::Ramp(10, -10, 4), 3000, -5.0},  // a ramp may fall
      {ValueSource::Sine(5, 2, 8), 2000, 7.0},
      {ValueSource::Sine(5, 2, 8), 6000, 3.0},
      {ValueSource::Sine(5, 2, 8), 0xFFFFFFFFu, 5.0 + 2.0 * sin(2 * M_PI * (0xFFFFFFFFu % 8000) / 8000.0)},
      {ValueSource::Ramp(1, 9, 0), 5000, 1.0},  // no period: stands still
  };
  for (const auto& c : cases) EXPECT_NEAR(c.source.At(c.ms), c.value, 1e-9) << c.source.Describe() << " " << c.ms;
  EXPECT_EQ(ValueSource::Sine(5, 2, 8).Describe(), "sine 5+-2/8s");
}

TEST(SimBus, ModulesAreChangedSafelyWhileTheBusAnswers) {
  sim::Bus bus;
  auto* module = static_cast<sim::VelkModule*>(bus.Add("Velk4051", 1));
  std::thread writer([module] {
    for (uint32_t i = 0; i < 2000; ++i)
      module->Update([i](sim::VelkRegisters& r) { r.digitalIn = i & 1 ? 0xFFFF : 0; });
  });
  for (int i = 0; i < 2000; ++i) {
    const std::string answer = bus.Handle("$016\r").Bytes();
    ASSERT_TRUE(answer == "!000000\r" || answer == "!FFFF00\r") << answer;
  }
  writer.join();
}

}  // namespace
