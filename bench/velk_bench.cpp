// Costs of the "Velk" packet path: building one command and decoding one
// answer per family (pure CPU), and one whole ProcessPacket2 read over a
// pseudo-terminal against the simulated bus with no first wait, reported as
// the median and the 99th percentile of single calls.
//
//   build/<dir>/bench/velk_bench --benchmark_filter='BM_(Build|Decode|ProcessPacket2)'
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "families/velk_answer_decoding.h"
#include "driver/line_driver.h"
#include "protocol/command_builder.h"
#include "protocol/encoding.h"
#include "sim/bus.h"
#include "sim/server.h"

namespace {

using bench::OneItemPacket;

// One read per family, with the answer its module gives (checksums on).
struct FamilyRead {
  const char* type;
  int16_t registerCode;
  int16_t channel;
  int16_t dataType;
  const char* answer;  // without checksum and carriage return
};

const FamilyRead kReads[] = {
    {"Velk4011", 0, 0, velk::kTypeFloat, ">+05.123"},   {"Velk4017", 0, 3, velk::kTypeFloat, ">-01.500"},
    {"Velk4021", 0, 0, velk::kTypeFloat, "!0105.500"},  {"Velk4024", 2, 1, velk::kTypeShort, "!013F"},
    {"Velk4051", 0, 2, velk::kTypeBit, "!123400"},      {"Velk4050", 0, 0, velk::kTypeByte, "!12A500"},
    {"Velk4080", 4, 1, velk::kTypeLong, "!01DEADBEEF"}, {"Velk4015", 3, 2, velk::kTypeFloat, ">+12.345"},
};

std::string WithChecksum(const std::string& text) {
  char hex[2];
  protocol::ByteToHex(hex, protocol::ChecksumOf(text.data(), text.size()));
  return text + std::string(hex, 2) + "\r";
}

void BM_BuildCommand(benchmark::State& state) {
  const FamilyRead& r = kReads[state.range(0)];
  OneItemPacket p(r.type, "REG", r.registerCode, r.channel, r.dataType, 1, true);
  char buffer[32];
  for (auto _ : state) {
    int32_t length = 0;
    benchmark::DoNotOptimize(
        protocol::BuildCommand2(p.packet, protocol::ModelGroupOf(p.packet.moduleType), buffer, &length));
    benchmark::DoNotOptimize(buffer);
  }
  state.SetLabel(r.type);
}

void BM_DecodeAnswer(benchmark::State& state) {
  const FamilyRead& r = kReads[state.range(0)];
  OneItemPacket p(r.type, "REG", r.registerCode, r.channel, r.dataType, 1, true);
  const std::string answer = WithChecksum(r.answer);
  const int32_t n = static_cast<int32_t>(answer.size());
  for (auto _ : state) {
    families::AnswerDecoder decoder({answer.data(), n, n, true}, p.packet, protocol::ModuleTypeOf(p.packet.moduleType));
    decoder.Decode(p.item);
    benchmark::DoNotOptimize(p.item.value);
  }
  state.SetLabel(r.type);
}

// A write with a formatted field, the most work a command takes.
void BM_BuildFloatWrite(benchmark::State& state) {
  OneItemPacket p("Velk4024", "AO", 0, 2, velk::kTypeFloat, 1, true);
  p.packet.direction = 1;
  const float value = -12.345f;
  memcpy(p.item.value.raw, &value, 4);
  char buffer[32];
  for (auto _ : state) {
    int32_t length = 0;
    benchmark::DoNotOptimize(
        protocol::BuildCommand2(p.packet, protocol::ModelGroupOf(p.packet.moduleType), buffer, &length));
    benchmark::DoNotOptimize(buffer);
  }
}

// One ProcessPacket2 read of a Velk4017 channel over a pseudo-terminal; the
// simulated module answers at once. Per-call times are collected and their
// median and 99th percentile reported (microseconds).
void BM_ProcessPacket2OverPseudoTerminal(benchmark::State& state) {
  sim::Bus bus;
  sim::Server server(bus);
  std::string error;
  if (!server.ServePseudoTerminal(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  bus.Add("Velk4017", 1, true);
  driver::LineDriver driver;
  velk::PortSettings settings{};
  strncpy(settings.portName, server.path().c_str(), sizeof settings.portName - 1);
  settings.baudRate = 115200;
  settings.dataBits = 8;
  settings.stopBits = 1;
  settings.timeoutMs = 1000;
  if (driver.OpenPort(0, &settings) != 1) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  OneItemPacket display("Velk4017", "DISPLAY", 4, 0, velk::kTypeWord, 1, true);
  display.packet.direction = 1;  // the first wait: 0 ms
  driver.ProcessPacket2(&display.packet);

  OneItemPacket read("Velk4017", "AI", 0, 3, velk::kTypeFloat, 1, true);
  std::vector<double> micros;
  micros.reserve(100000);
  int64_t failures = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t ok = driver.ProcessPacket2(&read.packet);
    const auto stop = std::chrono::steady_clock::now();
    if (ok != 1) ++failures;
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  server.Stop();
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  state.counters["failures"] = static_cast<double>(failures);
}

}  // namespace

BENCHMARK(BM_BuildCommand)->DenseRange(0, 7);
BENCHMARK(BM_DecodeAnswer)->DenseRange(0, 7);
BENCHMARK(BM_BuildFloatWrite);
BENCHMARK(BM_ProcessPacket2OverPseudoTerminal)->UseRealTime()->Iterations(3000);
// The benchmarks of bench/ form one program; its main is in line_bench.cpp.
