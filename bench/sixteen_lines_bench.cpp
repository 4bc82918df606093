// Sixteen lines at once: sixteen host threads, each with its own driver
// object and its own pseudo-terminal, whose module answers 2 ms after each
// command. Packets per second against one line, and against the same lines
// served by the bare exchange (write, poll, read), with the CPU time the
// host threads spend per packet; all four runs in one process, one after
// another, a second each.
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
const auto kRunTime = std::chrono::milliseconds(1000);

struct Throughput {
  double packetsPerSecond = 0;
  double cpuUsPerPacket = 0;
  int64_t failures = 0;
  bool ok = false;
};

// One host thread per line; `useDriver` picks the driver or the bare
// exchange. Ports are opened first, then every thread starts at one signal.
Throughput Serve(int lines, bool useDriver, const std::string& answer) {
  Throughput result;
  std::vector<std::unique_ptr<bench::CannedModule>> modules;
  std::vector<std::unique_ptr<bench::DriverLine>> drivers;
  std::vector<std::unique_ptr<bench::BarePort>> bares;
  for (int i = 0; i < lines; ++i) {
    modules.push_back(std::make_unique<bench::CannedModule>(bench::VelkFrame, answer, kTurnaroundUs));
    if (!modules.back()->ok()) return result;
    if (useDriver) {
      drivers.push_back(std::make_unique<bench::DriverLine>());
      if (!drivers.back()->Open(modules.back()->path(), 115200)) return result;
    } else {
      bares.push_back(std::make_unique<bench::BarePort>());
      if (!bares.back()->Open(modules.back()->path(), 115200)) return result;
    }
  }
  std::atomic<bool> go{false}, stop{false};
  std::vector<int64_t> packets(lines, 0), failures(lines, 0);
  std::vector<double> cpuUs(lines, 0);
  std::vector<std::thread> threads;
  const std::string command = bench::DriverLine::Command();
  for (int i = 0; i < lines; ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const double cpuStart = bench::ThreadCpuUs();
      while (!stop) {
        const bool ok = useDriver ? drivers[i]->Read() : bares[i]->Exchange(command) == answer.size();
        ++(ok ? packets[i] : failures[i]);
      }
      cpuUs[i] = bench::ThreadCpuUs() - cpuStart;
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go = true;
  std::this_thread::sleep_for(kRunTime);
  stop = true;
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int64_t total = 0;
  double cpu = 0;
  for (int i = 0; i < lines; ++i) {
    total += packets[i];
    result.failures += failures[i];
    cpu += cpuUs[i];
  }
  result.packetsPerSecond = total / seconds;
  result.cpuUsPerPacket = total > 0 ? cpu / static_cast<double>(total) : 0;
  result.ok = true;
  return result;
}

void BM_SixteenLines(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  const std::string answer = bench::SimulatorAnswer("Velk4017", 1, bench::DriverLine::Command());
  for (auto _ : state) {
    const Throughput ours1 = Serve(1, true, answer);
    const Throughput bare1 = Serve(1, false, answer);
    const Throughput ours = Serve(lines, true, answer);
    const Throughput bare = Serve(lines, false, answer);
    if (!ours1.ok || !bare1.ok || !ours.ok || !bare.ok) return state.SkipWithError("cannot set up the lines");
    state.counters["ours_1_pps"] = ours1.packetsPerSecond;
    state.counters["ours_n_pps"] = ours.packetsPerSecond;
    state.counters["bare_1_pps"] = bare1.packetsPerSecond;
    state.counters["bare_n_pps"] = bare.packetsPerSecond;
    state.counters["ours_scaling"] = ours.packetsPerSecond / ours1.packetsPerSecond;
    state.counters["bare_scaling"] = bare.packetsPerSecond / bare1.packetsPerSecond;
    state.counters["ours_vs_bare"] = ours.packetsPerSecond / bare.packetsPerSecond;
    state.counters["ours_cpu_us"] = ours.cpuUsPerPacket;
    state.counters["bare_cpu_us"] = bare.cpuUsPerPacket;
    state.counters["cpu_ratio"] = bare.cpuUsPerPacket > 0 ? ours.cpuUsPerPacket / bare.cpuUsPerPacket : 0;
    state.counters["failures"] = static_cast<double>(ours1.failures + bare1.failures + ours.failures + bare.failures);
  }
}

}  // namespace

BENCHMARK(BM_SixteenLines)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
