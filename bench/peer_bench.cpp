// One ProcessPacket2 read beside a libmodbus RTU request/response and beside
// the bare exchange (write, poll, read), all at 115200 baud over pseudo-
// terminals whose far end answers at once, built the same way for each
// (bench_support's CannedModule). The three take turns call by call, so a
// busy machine slows them alike; the ratios come from one run.
//
//   build/linux64/bench/velk_bench --benchmark_filter=BM_SideBySide
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

uint16_t ModbusCrc(const std::string& bytes) {
  uint16_t crc = 0xFFFF;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

std::string WithCrc(std::string frame) {
  const uint16_t crc = ModbusCrc(frame);
  frame.push_back(static_cast<char>(crc & 0xFF));
  frame.push_back(static_cast<char>(crc >> 8));
  return frame;
}

// A read of holding registers is eight bytes on the wire.
size_t ModbusReadFrame(const std::string& pending) { return pending.size() >= 8 ? 8 : 0; }

class ModbusMaster {
 public:
  ~ModbusMaster() {
    if (ctx_ != nullptr) {
      modbus_close(ctx_);
      modbus_free(ctx_);
    }
  }
  bool Open(const std::string& path) {
    ctx_ = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
    if (ctx_ == nullptr || modbus_set_slave(ctx_, 1) != 0 || modbus_connect(ctx_) != 0) return false;
    modbus_set_response_timeout(ctx_, 1, 0);
    return Read();
  }
  bool Read() { return modbus_read_registers(ctx_, 0, 1, &value_) == 1; }

 private:
  modbus_t* ctx_ = nullptr;
  uint16_t value_ = 0;
};

template <typename F>
double TimeUs(F&& f, int64_t* failures) {
  const auto start = std::chrono::steady_clock::now();
  if (!f()) ++*failures;
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void BM_SideBySide(benchmark::State& state) {
  const std::string velkAnswer = bench::SimulatorAnswer("Velk4017", 1, bench::DriverLine::Command());
  bench::CannedModule velkModule(bench::VelkFrame, velkAnswer);
  bench::CannedModule bareModule(bench::VelkFrame, velkAnswer);
  bench::CannedModule modbusModule(ModbusReadFrame, WithCrc(std::string("\x01\x03\x02\x12\x34", 5)));
  bench::DriverLine ours;
  bench::BarePort bare;
  ModbusMaster modbus;
  if (!velkModule.ok() || !bareModule.ok() || !modbusModule.ok()) return state.SkipWithError("no pseudo-terminal");
  if (!ours.Open(velkModule.path(), 115200)) return state.SkipWithError("the driver cannot read its module");
  if (!bare.Open(bareModule.path(), 115200)) return state.SkipWithError("cannot open the bare port");
  if (!modbus.Open(modbusModule.path())) return state.SkipWithError("libmodbus cannot read its module");

  std::vector<double> oursUs, modbusUs, bareUs;
  int64_t failures = 0;
  const std::string command = bench::DriverLine::Command();
  for (auto _ : state) {
    oursUs.push_back(TimeUs([&] { return ours.Read(); }, &failures));
    modbusUs.push_back(TimeUs([&] { return modbus.Read(); }, &failures));
    bareUs.push_back(TimeUs([&] { return bare.Exchange(command) == velkAnswer.size(); }, &failures));
  }
  const double oursMedian = bench::Percentile(oursUs, 0.5), modbusMedian = bench::Percentile(modbusUs, 0.5);
  const double oursP99 = bench::Percentile(oursUs, 0.99), modbusP99 = bench::Percentile(modbusUs, 0.99);
  state.counters["ours_median_us"] = oursMedian;
  state.counters["ours_p99_us"] = oursP99;
  state.counters["libmodbus_median_us"] = modbusMedian;
  state.counters["libmodbus_p99_us"] = modbusP99;
  state.counters["bare_median_us"] = bench::Percentile(bareUs, 0.5);
  state.counters["bare_p99_us"] = bench::Percentile(bareUs, 0.99);
  state.counters["median_ratio"] = modbusMedian > 0 ? oursMedian / modbusMedian : 0;
  state.counters["p99_ratio"] = modbusP99 > 0 ? oursP99 / modbusP99 : 0;
  state.counters["failures"] = static_cast<double>(failures);
}

}  // namespace

BENCHMARK(BM_SideBySide)->Iterations(3000)->Unit(benchmark::kMicrosecond)->UseRealTime();
