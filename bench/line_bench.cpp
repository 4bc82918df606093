// The line on a real pseudo-terminal: how long one command exchange takes
// when the module answers at once, and how much CPU a line burns while it
// waits for a module that stays silent. Each is measured with the line's own
// wait (on the descriptor) and with plain 1 ms sleeps between empty polls.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/pseudo_terminal.h"
#include "platform/serial_api.h"
#include "serial/serial_line.h"
#include "answering_module.h"

namespace {

// The system's services, except that an empty poll sleeps 1 ms instead of
// waiting on the line.
class SleepPollingPort final : public platform::Port {
 public:
  explicit SleepPollingPort(std::unique_ptr<platform::Port> base) : base_(std::move(base)) {}
  platform::Handle handle() const override { return base_->handle(); }
  bool Configure(const platform::LineSettings& s) override { return base_->Configure(s); }
  bool Settings(platform::LineSettings* s) override { return base_->Settings(s); }
  bool SetWriteLimit(uint32_t perByte, uint32_t extra) override { return base_->SetWriteLimit(perByte, extra); }
  bool SetDirection(platform::Direction d) override { return base_->SetDirection(d); }
  bool Discard(platform::Queue q) override { return base_->Discard(q); }
  bool Drain(uint32_t maxMs) override { return base_->Drain(maxMs); }
  bool Read(void* b, uint32_t c, uint32_t* g) override { return base_->Read(b, c, g); }
  bool Write(const void* b, uint32_t c, uint32_t* w) override { return base_->Write(b, c, w); }
  platform::WaitResult Wait(uint32_t maxMs) override {
    if (maxMs > 0) platform::SystemClock().SleepMs(1);
    return platform::WaitResult::kInput;
  }

 private:
  std::unique_ptr<platform::Port> base_;
};

class SleepPollingApi final : public platform::SerialApi {
 public:
  explicit SleepPollingApi(platform::SerialApi& base) : base_(base) {}
  platform::Opened Open(const char* name) override {
    platform::Opened opened = base_.Open(name);
    opened.port = Wrap(std::move(opened.port));
    return opened;
  }
  std::unique_ptr<platform::Port> Adopt(platform::Handle h) override { return Wrap(base_.Adopt(h)); }

 private:
  static std::unique_ptr<platform::Port> Wrap(std::unique_ptr<platform::Port> port) {
    if (port == nullptr) return nullptr;
    return std::unique_ptr<platform::Port>(new SleepPollingPort(std::move(port)));
  }
  platform::SerialApi& base_;
};

struct LineRig {
  explicit LineRig(platform::SerialApi& api) : line(api, platform::SystemClock()) {}
  bool Open(const platform::PseudoTerminal& pty, int16_t timeoutMs) {
    velk::PortSettings s{};
    const std::string name = pty.slavePath();
    name.copy(s.portName, sizeof s.portName - 1);
    s.baudRate = 9600;
    s.dataBits = 8;
    s.timeoutMs = timeoutMs;
    if (line.OpenPort(&s) != 1) return false;
    line.pollDelayMs = 0;
    return true;
  }
  serial::SerialLine line;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void RunExchange(benchmark::State& state, platform::SerialApi& api, uint32_t turnaroundUs) {
  platform::PseudoTerminal pty;
  LineRig rig(api);
  if (!pty.Create() || !rig.Open(pty, 1000)) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  AnsweringModule module(static_cast<int>(pty.master()), turnaroundUs);
  std::vector<double> micros;
  for (auto _ : state) {
    char buffer[512] = "#013\r";
    int32_t length = 5;
    const auto start = std::chrono::steady_clock::now();
    const int32_t ok = rig.line.Exchange(buffer, &length, serial::kVelkAnswer);
    const auto stop = std::chrono::steady_clock::now();
    if (ok != 1) {
      state.SkipWithError("no answer");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  state.counters["median_us"] = Percentile(micros, 0.5);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}

double ThreadCpuMs() {
  rusage u;
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void RunSilentSecond(benchmark::State& state, platform::SerialApi& api) {
  platform::PseudoTerminal pty;
  LineRig rig(api);
  if (!pty.Create() || !rig.Open(pty, 1000)) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  double cpuMs = 0;
  int runs = 0;
  for (auto _ : state) {
    char buffer[512] = "#013\r";
    int32_t length = 5;
    const double before = ThreadCpuMs();
    benchmark::DoNotOptimize(rig.line.Exchange(buffer, &length, serial::kVelkAnswer));
    cpuMs += ThreadCpuMs() - before;
    ++runs;
  }
  state.counters["cpu_ms_per_silent_s"] = runs > 0 ? cpuMs / runs : 0;
}

// Argument: the module's turnaround in microseconds (0: instant).
void BM_ExchangeWaitOnLine(benchmark::State& state) {
  RunExchange(state, platform::SystemSerialApi(), static_cast<uint32_t>(state.range(0)));
}
void BM_ExchangeSleepPolling(benchmark::State& state) {
  SleepPollingApi api(platform::SystemSerialApi());
  RunExchange(state, api, static_cast<uint32_t>(state.range(0)));
}
void BM_SilentSecondWaitOnLine(benchmark::State& state) { RunSilentSecond(state, platform::SystemSerialApi()); }
void BM_SilentSecondSleepPolling(benchmark::State& state) {
  SleepPollingApi api(platform::SystemSerialApi());
  RunSilentSecond(state, api);
}

BENCHMARK(BM_ExchangeWaitOnLine)->Arg(0)->Arg(500)->Iterations(3000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ExchangeSleepPolling)->Arg(0)->Arg(500)->Iterations(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SilentSecondWaitOnLine)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SilentSecondSleepPolling)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
