// The line at its own pace: examples/line.toml polled through the built
// library (loaded and driven as the test host does) against its simulated
// modules on a paced line (one frame a byte at the baud rate), first wait
// 0 ms. Each cycle is set against the wire time of its commands and
// answers, beside the same commands sent by the bare exchange (write, poll,
// read) to a second, identical paced line; the two take turns cycle by
// cycle. Reported for the whole file and for its "Velk" packets alone.
// BM_PacedEcho sets the same line behind an echoing adapter against itself.
//
//   build/linux64/bench/velk_bench --benchmark_filter=BM_PacedLine
//   build/linux64/bench/velk_bench --benchmark_filter=BM_PacedEcho
#include <benchmark/benchmark.h>

#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "packet_exchange.h"
#include "packet_plan.h"
#include "session.h"
#include "sim/bus.h"
#include "sim/module.h"
#include "sim/server.h"

namespace {

struct Cycle {
  double ms = 0;
  double wireMs = 0;
};

template <typename F>
Cycle TimeCycle(sim::Server& server, double byteMs, F&& run) {
  const uint64_t in = server.bytesReceived(), out = server.bytesSent();
  const auto start = std::chrono::steady_clock::now();
  run();
  Cycle c;
  c.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  c.wireMs = static_cast<double>(server.bytesReceived() - in + server.bytesSent() - out) * byteMs;
  return c;
}

// The example line on a simulated line paced at `baud`, polled without a
// first wait. False with the reason given to `state` when it cannot be.
bool OpenPacedSession(benchmark::State& state, uint32_t baud, velkhost::LineSession* session) {
  velkhost::LibraryOptions library;
  library.path = VELK_DRIVER_PATH;
  velkhost::LineOptions options;
  options.configPath = VELK_SOURCE_DIR "/examples/line.toml";
  options.simulate = true;
  options.pace = true;
  if (session->Load(library, options) != hostlib::kExitOk) {
    state.SkipWithError("cannot load the line file");
    return false;
  }
  session->config.port.baud = baud;
  session->config.port.hasPollDelay = true;
  session->config.port.pollDelayMs = 0;
  if (session->Connect() != hostlib::kExitOk) {
    state.SkipWithError("cannot connect the paced line");
    return false;
  }
  return true;
}

// Arguments: baud rate, cycles.
void BM_PacedLine(benchmark::State& state) {
  const uint32_t baud = static_cast<uint32_t>(state.range(0));
  const int cycles = static_cast<int>(state.range(1));
  velkhost::LineSession session;
  if (!OpenPacedSession(state, baud, &session)) return;
  hostlib::PacketPlan plan = hostlib::PlanReads(session.driver->d, session.config, session.checked, session.layout());
  sim::Bus& bus = *session.simulation.bus();
  sim::Server& server = *session.simulation.server();

  int64_t failures = 0;
  // The whole file, or its "Velk" packets only: the Data7810 and Data7210
  // paths keep waits of their own (10 ms and 100 ms steps) that no line
  // speed shortens, and would hide what the transaction adds.
  auto pollCycle = [&](bool velkOnly) {
    for (auto& packet : plan) {
      if (velkOnly && strncmp(packet->record().moduleType, "Velk", 4) != 0) continue;
      if (session.driver->d2->ProcessPacket2(&packet->record()) != 1) ++failures;
    }
  };
  // One cycle to learn the commands and answers the bare exchange repeats.
  bus.ClearRecord();
  pollCycle(false);
  struct Exchange {
    std::string command;
    size_t answerLength;
    bool velk;
  };
  std::vector<Exchange> exchanges;
  for (const sim::CommandRecord& r : bus.Recent(4096)) {
    if (r.answer.empty()) continue;
    const sim::Module* module = r.address >= 0 ? bus.At(static_cast<uint8_t>(r.address)) : nullptr;
    exchanges.push_back(
        Exchange{r.command, r.answer.size(), module != nullptr && module->kind() == sim::ModuleKind::kVelk});
  }
  failures = 0;

  velkhost::LineSimulation bareLine;
  std::string error;
  if (!bareLine.Build(session.config, &error) || !bareLine.Serve(&error, &session.config.port))
    return state.SkipWithError(error.c_str());
  bench::BarePort bare;
  if (!bare.Open(bareLine.portName(), baud)) return state.SkipWithError("cannot open the bare port");
  auto bareCycle = [&](bool velkOnly) {
    for (const Exchange& e : exchanges)
      if ((!velkOnly || e.velk) && bare.Exchange(e.command) != e.answerLength) ++failures;
  };

  sim::LineSettings line;
  line.baudRate = baud;
  const double byteMs = static_cast<double>(sim::ByteTimeNs(line)) / 1e6;
  for (auto _ : state) {
    for (const bool velkOnly : {false, true}) {
      std::vector<double> oursRatio, bareRatio, oursMs, bareMs, wireMs;
      for (int i = 0; i < cycles; ++i) {
        const Cycle ours = TimeCycle(server, byteMs, [&] { pollCycle(velkOnly); });
        const Cycle plain = TimeCycle(*bareLine.server(), byteMs, [&] { bareCycle(velkOnly); });
        oursMs.push_back(ours.ms);
        bareMs.push_back(plain.ms);
        wireMs.push_back(ours.wireMs);
        oursRatio.push_back(ours.ms / ours.wireMs);
        bareRatio.push_back(plain.ms / plain.wireMs);
      }
      const std::string p = velkOnly ? "velk_" : "all_";
      state.counters[p + "wire_ms"] = bench::Percentile(wireMs, 0.5);
      state.counters[p + "ours_cycle_ms"] = bench::Percentile(oursMs, 0.5);
      state.counters[p + "bare_cycle_ms"] = bench::Percentile(bareMs, 0.5);
      state.counters[p + "ours_ratio"] = bench::Percentile(oursRatio, 0.5);
      state.counters[p + "bare_ratio"] = bench::Percentile(bareRatio, 0.5);
      // The best cycles: what the line allows when the machine lets both run.
      state.counters[p + "ours_ratio_best"] = bench::Percentile(oursRatio, 0);
      state.counters[p + "bare_ratio_best"] = bench::Percentile(bareRatio, 0);
      state.counters[p + "ours_above_bare_ms"] = bench::Percentile(oursMs, 0.5) - bench::Percentile(bareMs, 0.5);
    }
  }
  state.counters["packets"] = static_cast<double>(plan.size());
  state.counters["exchanges"] = static_cast<double>(exchanges.size());
  state.counters["failures"] = static_cast<double>(failures);
}

// The same file behind an adapter that echoes every command, against the
// clean line, taking turns cycle by cycle on one paced line and one driver:
// each cycle over its wire time, the echo's bytes counted in it. The echo
// adds its own wire time and should add nothing else. Argument: cycles.
void BM_PacedEcho(benchmark::State& state) {
  const int cycles = static_cast<int>(state.range(0));
  velkhost::LineSession session;
  if (!OpenPacedSession(state, 9600, &session)) return;
  hostlib::PacketPlan plan = hostlib::PlanReads(session.driver->d, session.config, session.checked, session.layout());
  sim::Bus& bus = *session.simulation.bus();
  sim::Server& server = *session.simulation.server();
  sim::LineSettings line;
  line.baudRate = 9600;
  const double byteMs = static_cast<double>(sim::ByteTimeNs(line)) / 1e6;

  int64_t failures = 0;
  auto pollCycle = [&] {
    for (auto& packet : plan)
      if (session.driver->d2->ProcessPacket2(&packet->record()) != 1) ++failures;
  };
  for (const bool echo : {false, true}) {  // a cycle of each to settle
    bus.SetEcho(echo);
    pollCycle();
  }
  failures = 0;
  for (auto _ : state) {
    std::vector<double> echoRatio, cleanRatio, echoMs, cleanMs, echoWire, cleanWire;
    for (int i = 0; i < cycles; ++i) {
      bus.SetEcho(true);
      const Cycle echoed = TimeCycle(server, byteMs, pollCycle);
      bus.SetEcho(false);
      const Cycle clean = TimeCycle(server, byteMs, pollCycle);
      echoRatio.push_back(echoed.ms / echoed.wireMs);
      cleanRatio.push_back(clean.ms / clean.wireMs);
      echoMs.push_back(echoed.ms);
      cleanMs.push_back(clean.ms);
      echoWire.push_back(echoed.wireMs);
      cleanWire.push_back(clean.wireMs);
    }
    state.counters["echo_ratio"] = bench::Percentile(echoRatio, 0.5);
    state.counters["clean_ratio"] = bench::Percentile(cleanRatio, 0.5);
    state.counters["echo_ratio_best"] = bench::Percentile(echoRatio, 0);
    state.counters["clean_ratio_best"] = bench::Percentile(cleanRatio, 0);
    state.counters["echo_cycle_ms"] = bench::Percentile(echoMs, 0.5);
    state.counters["clean_cycle_ms"] = bench::Percentile(cleanMs, 0.5);
    state.counters["echo_wire_ms"] = bench::Percentile(echoWire, 0.5);
    state.counters["clean_wire_ms"] = bench::Percentile(cleanWire, 0.5);
  }
  state.counters["failures"] = static_cast<double>(failures);
}

// One exchange on a paced line, the driver's against the bare one on a
// second, identical line, taking turns: the driver's own excess per
// exchange, where a whole cycle's noise would hide it. Arguments: baud
// rate, exchanges.
void BM_PacedExchange(benchmark::State& state) {
  const uint32_t baud = static_cast<uint32_t>(state.range(0));
  const int count = static_cast<int>(state.range(1));
  sim::LineSettings line;
  line.baudRate = baud;
  sim::Bus oursBus, bareBus;
  oursBus.Add("Velk4017", 1);
  bareBus.Add("Velk4017", 1);
  sim::Server oursServer(oursBus), bareServer(bareBus);
  oursServer.SetPace(&line);
  bareServer.SetPace(&line);
  std::string error;
  if (!oursServer.ServePseudoTerminal(&error) || !bareServer.ServePseudoTerminal(&error))
    return state.SkipWithError(error.c_str());
  bench::DriverLine ours;
  bench::BarePort bare;
  if (!ours.Open(oursServer.path(), baud) || !bare.Open(bareServer.path(), baud))
    return state.SkipWithError("cannot open the paced lines");
  int64_t failures = 0;
  const auto time = [](auto&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  };
  for (auto _ : state) {
    std::vector<double> oursUs, bareUs, excessUs, oursCpuUs, bareCpuUs;
    for (int i = 0; i < count; ++i) {
      double cpu = bench::ThreadCpuUs();
      const double o = time([&] { failures += ours.Read() ? 0 : 1; });
      oursCpuUs.push_back(bench::ThreadCpuUs() - cpu);
      cpu = bench::ThreadCpuUs();
      const double b = time([&] { failures += bare.Exchange(bench::DriverLine::Command()) != 0 ? 0 : 1; });
      bareCpuUs.push_back(bench::ThreadCpuUs() - cpu);
      oursUs.push_back(o);
      bareUs.push_back(b);
      excessUs.push_back(o - b);
    }
    state.counters["ours_median_us"] = bench::Percentile(oursUs, 0.5);
    state.counters["bare_median_us"] = bench::Percentile(bareUs, 0.5);
    state.counters["excess_median_us"] = bench::Percentile(excessUs, 0.5);
    state.counters["excess_p25_us"] = bench::Percentile(excessUs, 0.25);
    state.counters["excess_p75_us"] = bench::Percentile(excessUs, 0.75);
    state.counters["ours_cpu_us"] = bench::Percentile(oursCpuUs, 0.5);
    state.counters["bare_cpu_us"] = bench::Percentile(bareCpuUs, 0.5);
  }
  state.counters["failures"] = static_cast<double>(failures);
}

}  // namespace

BENCHMARK(BM_PacedExchange)
    ->Args({9600, 200})
    ->Args({115200, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_PacedEcho)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_PacedLine)
    ->Args({9600, 4})
    ->Args({115200, 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
