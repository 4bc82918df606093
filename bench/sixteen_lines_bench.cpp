// Sixteen lines at once: sixteen host threads, each with its own driver
// object and its own pseudo-terminal, whose module answers 2 ms after each
// command. Packets per second against one line, and against the same lines
// served by the bare exchange (write, poll, read), with the CPU time the
// host threads spend per packet; the four take turns, eight rounds of
// 0.15 s each, in one process.
//
//   build/linux64/bench/velk_bench --benchmark_filter=BM_SixteenLines
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

namespace {

const uint32_t kTurnaroundUs = 2000;
const auto kRunTime = std::chrono::milliseconds(150);
const int kRounds = 8;

struct Tally {
  int64_t packets = 0;
  int64_t failures = 0;
  double cpuUs = 0;
  double seconds = 0;
  void Add(const Tally& t) {
    packets += t.packets;
    failures += t.failures;
    cpuUs += t.cpuUs;
    seconds += t.seconds;
  }
  double PacketsPerSecond() const { return seconds > 0 ? static_cast<double>(packets) / seconds : 0; }
  double CpuUsPerPacket() const { return packets > 0 ? cpuUs / static_cast<double>(packets) : 0; }
};

// `lines` lines, each with its own module, served through driver objects or
// by the bare exchange; one host thread per line while Run runs.
class LineSet {
 public:
  LineSet(int lines, bool useDriver, const std::string& answer) : useDriver_(useDriver), answer_(answer) {
    for (int i = 0; i < lines; ++i) {
      modules_.push_back(std::make_unique<bench::CannedModule>(bench::VelkFrame, answer, kTurnaroundUs));
      if (!modules_.back()->ok()) return;
      if (useDriver) {
        drivers_.push_back(std::make_unique<bench::DriverLine>());
        if (!drivers_.back()->Open(modules_.back()->path(), 115200)) return;
      } else {
        bares_.push_back(std::make_unique<bench::BarePort>());
        if (!bares_.back()->Open(modules_.back()->path(), 115200)) return;
      }
    }
    ok_ = true;
  }
  bool ok() const { return ok_; }

  // Every host thread starts at one signal and stops at another.
  Tally Run() {
    const int lines = static_cast<int>(modules_.size());
    std::atomic<bool> go{false}, stop{false};
    std::vector<Tally> tallies(lines);
    std::vector<std::thread> threads;
    const std::string command = bench::DriverLine::Command();
    for (int i = 0; i < lines; ++i) {
      threads.emplace_back([&, i] {
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double cpuStart = bench::ThreadCpuUs();
        while (!stop) {
          const bool ok = useDriver_ ? drivers_[i]->Read() : bares_[i]->Exchange(command) == answer_.size();
          ++(ok ? tallies[i].packets : tallies[i].failures);
        }
        tallies[i].cpuUs = bench::ThreadCpuUs() - cpuStart;
      });
    }
    const auto start = std::chrono::steady_clock::now();
    go = true;
    std::this_thread::sleep_for(kRunTime);
    stop = true;
    for (std::thread& t : threads) t.join();
    Tally total;
    for (const Tally& t : tallies) total.Add(t);
    total.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return total;
  }

 private:
  bool useDriver_;
  std::string answer_;
  bool ok_ = false;
  std::vector<std::unique_ptr<bench::CannedModule>> modules_;
  std::vector<std::unique_ptr<bench::DriverLine>> drivers_;
  std::vector<std::unique_ptr<bench::BarePort>> bares_;
};

void BM_SixteenLines(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  const std::string answer = bench::SimulatorAnswer("Velk4017", 1, bench::DriverLine::Command());
  LineSet ours1(1, true, answer), bare1(1, false, answer), ours(lines, true, answer), bare(lines, false, answer);
  if (!ours1.ok() || !bare1.ok() || !ours.ok() || !bare.ok()) return state.SkipWithError("cannot set up the lines");
  Tally o1, b1, on, bn;
  for (auto _ : state) {
    // Turn about, so that a change in the machine's load falls on all four.
    for (int round = 0; round < kRounds; ++round) {
      o1.Add(ours1.Run());
      b1.Add(bare1.Run());
      on.Add(ours.Run());
      bn.Add(bare.Run());
    }
  }
  state.counters["ours_1_pps"] = o1.PacketsPerSecond();
  state.counters["ours_n_pps"] = on.PacketsPerSecond();
  state.counters["bare_1_pps"] = b1.PacketsPerSecond();
  state.counters["bare_n_pps"] = bn.PacketsPerSecond();
  state.counters["ours_scaling"] = on.PacketsPerSecond() / o1.PacketsPerSecond();
  state.counters["bare_scaling"] = bn.PacketsPerSecond() / b1.PacketsPerSecond();
  state.counters["ours_vs_bare"] = on.PacketsPerSecond() / bn.PacketsPerSecond();
  state.counters["ours_cpu_us"] = on.CpuUsPerPacket();
  state.counters["bare_cpu_us"] = bn.CpuUsPerPacket();
  state.counters["cpu_ratio"] = bn.CpuUsPerPacket() > 0 ? on.CpuUsPerPacket() / bn.CpuUsPerPacket() : 0;
  state.counters["failures"] = static_cast<double>(o1.failures + b1.failures + on.failures + bn.failures);
}

}  // namespace

BENCHMARK(BM_SixteenLines)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
