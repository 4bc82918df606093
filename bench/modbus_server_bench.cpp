// velkd's Modbus TCP server answering a 10-register read from the lines'
// latest readings, beside libmodbus's own bare server answering the same
// read from a fixed mapping (modbus_mapping_new + modbus_reply), both on
// loopback and taking turns call by call, so a busy machine slows them
// alike. Then how many such reads per second one server gives clients
// reading at once, and one whole velkd polling the example line.
//
//   build/linux64/bench/velk_bench --benchmark_filter=BM_Modbus
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "core/gateway.h"
#include "modbus/modbus_map.h"
#include "modbus/modbus_server.h"
#include "support/loopback_port.h"
#include "tools/child_process.h"
#include "velk4000/velk4000.h"

namespace {

const int kTags = 5;  // floats: 10 registers

// One line, never started, whose five float tags hold good readings.
class StoreLines : public velkd::Lines {
 public:
  StoreLines() {
    auto lineFile = std::make_shared<velkd::LineFile>();
    lineFile->name = "bench";
    lineFile->config.path = "bench.toml";
    lineFile->config.devices.resize(1);
    lineFile->tags.resize(kTags);
    for (velkd::TagRow& row : lineFile->tags) row.dataType = velk::kTypeFloat;
    auto line = std::make_shared<velkd::LineWorker>(lineFile, "", library_);
    line->state().SetDevice(0, true, "");
    for (int t = 0; t < kTags; ++t) {
      velkd::Value value;
      value.kind = velkd::Value::kReal;
      value.real = 1.5 * t;
      line->state().SetTag(static_cast<size_t>(t), true, value, 192, "", 1);
    }
    line->state().Publish();
    auto plant = std::make_shared<velkd::Plant>();
    plant->lines.push_back(line);
    plant->byName["bench"] = 0;
    plant_ = plant;
  }
  std::shared_ptr<const velkd::Plant> plant() const override { return plant_; }
  bool Write(const std::string&, const std::vector<velkd::TagWrite>&, const velkd::WritesDone&, size_t*,
             std::string* reason) override {
    *reason = "read-only";
    return false;
  }

 private:
  hostlib::DriverLibrary library_;
  std::shared_ptr<const velkd::Plant> plant_;
};

std::shared_ptr<velkd::ModbusMap> StoreMap(uint16_t port) {
  auto map = std::make_shared<velkd::ModbusMap>();
  map->listen = "127.0.0.1:" + std::to_string(port);
  map->host = "127.0.0.1";
  map->port = std::to_string(port);
  map->lines.push_back({"bench", 1000});
  velkd::ModbusUnit unit;
  unit.unit = 1;
  for (int t = 0; t < kTags; ++t) {
    velkd::ModbusEntry entry;
    entry.table = velkd::ModbusTable::kInput;
    entry.address = static_cast<uint16_t>(2 * t);
    entry.count = 2;
    entry.tag = static_cast<size_t>(t);
    entry.dataType = velk::kTypeFloat;
    unit.tables[static_cast<size_t>(velkd::ModbusTable::kInput)].push_back(entry);
  }
  map->units.push_back(unit);
  return map;
}

// libmodbus's own server: one client, a fixed mapping.
class BareServer {
 public:
  explicit BareServer(uint16_t port) : port_(port) {
    ctx_ = modbus_new_tcp("127.0.0.1", port);
    mapping_ = modbus_mapping_new(0, 0, 0, 2 * kTags);
    listen_ = ctx_ != nullptr ? modbus_tcp_listen(ctx_, 1) : -1;
    if (listen_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~BareServer() {
    if (thread_.joinable()) thread_.join();  // ends when its client closes
    if (listen_ >= 0) close(listen_);
    modbus_mapping_free(mapping_);
    if (ctx_ != nullptr) modbus_free(ctx_);
  }
  bool ok() const { return listen_ >= 0; }
  uint16_t port() const { return port_; }

 private:
  void Serve() {
    if (modbus_tcp_accept(ctx_, &listen_) < 0) return;
    uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
      const int length = modbus_receive(ctx_, request);
      if (length < 0 || modbus_reply(ctx_, request, length, mapping_) < 0) break;
    }
    modbus_close(ctx_);
  }

  uint16_t port_;
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* mapping_ = nullptr;
  int listen_ = -1;
  std::thread thread_;
};

class Client {
 public:
  explicit Client(uint16_t port, int unit = 1, int count = 2 * kTags) : count_(count) {
    ctx_ = modbus_new_tcp("127.0.0.1", port);
    if (ctx_ != nullptr && (modbus_set_slave(ctx_, unit) != 0 || modbus_connect(ctx_) != 0)) {
      modbus_free(ctx_);
      ctx_ = nullptr;
    }
  }
  ~Client() {
    if (ctx_ == nullptr) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
  bool Read() { return ctx_ != nullptr && modbus_read_input_registers(ctx_, 0, count_, registers_) == count_; }

 private:
  int count_;
  modbus_t* ctx_ = nullptr;
  uint16_t registers_[MODBUS_MAX_READ_REGISTERS] = {};
};

double TimeUs(Client& client, int64_t* failures) {
  const auto start = std::chrono::steady_clock::now();
  if (!client.Read()) ++*failures;
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void BM_ModbusSideBySide(benchmark::State& state) {
  StoreLines lines;
  const uint16_t oursPort = testsupport::FreeLoopbackPort();
  velkd::ModbusServer server(lines, StoreMap(oursPort));
  std::string error;
  if (!server.Start(&error)) return state.SkipWithError(error.c_str());
  BareServer bare(testsupport::FreeLoopbackPort());
  if (!bare.ok()) return state.SkipWithError("libmodbus cannot listen");
  std::vector<double> oursUs, bareUs;
  int64_t failures = 0;
  {
    Client ours(oursPort);
    Client peer(bare.port());
    if (!ours.Read() || !peer.Read()) return state.SkipWithError("a server does not answer");
    for (auto _ : state) {
      oursUs.push_back(TimeUs(ours, &failures));
      bareUs.push_back(TimeUs(peer, &failures));
    }
  }
  const double oursMedian = bench::Percentile(oursUs, 0.5), bareMedian = bench::Percentile(bareUs, 0.5);
  const double oursP99 = bench::Percentile(oursUs, 0.99), bareP99 = bench::Percentile(bareUs, 0.99);
  state.counters["ours_median_us"] = oursMedian;
  state.counters["ours_p99_us"] = oursP99;
  state.counters["libmodbus_median_us"] = bareMedian;
  state.counters["libmodbus_p99_us"] = bareP99;
  state.counters["median_ratio"] = bareMedian > 0 ? oursMedian / bareMedian : 0;
  state.counters["p99_ratio"] = bareP99 > 0 ? oursP99 / bareP99 : 0;
  state.counters["failures"] = static_cast<double>(failures);
  server.Stop();
}

// `clients` reading unit `unit` at once for two seconds, each as fast as
// its answers come; `pump` runs meanwhile.
void ReadTogether(benchmark::State& state, uint16_t port, int unit, int count, int clients,
                  const std::function<void()>& pump) {
  std::atomic<int64_t> reads{0}, failures{0};
  double seconds = 0;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&] {
        Client client(port, unit, count);
        while (!stop) (client.Read() ? reads : failures)++;
      });
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) pump();
    stop = true;
    for (std::thread& t : threads) t.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["reads_per_s"] = seconds > 0 ? static_cast<double>(reads) / seconds : 0;
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_ModbusReadsPerSecond(benchmark::State& state) {
  StoreLines lines;
  const uint16_t port = testsupport::FreeLoopbackPort();
  velkd::ModbusServer server(lines, StoreMap(port));
  std::string error;
  if (!server.Start(&error)) return state.SkipWithError(error.c_str());
  ReadTogether(state, port, 1, 2 * kTags, static_cast<int>(state.range(0)),
               [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
  server.Stop();
}

// The same from a whole velkd polling the example line on velksim: boiler's
// five registers (two floats and a word) of unit 1.
void BM_ModbusVelkdReadsPerSecond(benchmark::State& state) {
  tooltest::TempDir dir;
  tooltest::BackgroundProgram simulator, velkd;
  std::smatch match;
  if (!simulator.Start({VELKSIM_PATH, VELK_SOURCE_DIR "/examples/simulator.toml", "--plain"}) ||
      !simulator.WaitForOutput("\n", 10000) ||
      !std::regex_search(simulator.out(), match, std::regex("modules? on (\\S+)\\n")))
    return state.SkipWithError("velksim did not start");
  // The example line without its broker.
  std::ifstream example(VELK_SOURCE_DIR "/examples/gateway.toml");
  const std::string text((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>());
  const std::string line = dir.Write("line.toml", std::regex_replace(text, std::regex("\\n\\[mqtt\\]\\n[^[]*"), "\n"));
  const uint16_t port = testsupport::FreeLoopbackPort();
  if (!velkd.Start({VELKD_PATH, line, "--port", match[1], "--modbus", "127.0.0.1:" + std::to_string(port)}))
    return state.SkipWithError("velkd did not start");
  const auto pump = [&] {
    simulator.WaitForOutput("\x01", 5);
    velkd.WaitForOutput("\x01", 50);
  };
  bool answering = false;
  for (int attempt = 0; attempt < 100 && !answering; ++attempt) {
    pump();
    answering = Client(port, 1, 5).Read();
  }
  if (!answering) return state.SkipWithError("velkd does not answer");
  ReadTogether(state, port, 1, 5, static_cast<int>(state.range(0)), pump);
  velkd.Stop(5000, SIGTERM);
}

}  // namespace

BENCHMARK(BM_ModbusSideBySide)->Iterations(5000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ModbusReadsPerSecond)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModbusVelkdReadsPerSecond)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
