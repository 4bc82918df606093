// velkd's store of readings: appending while the broker is away and
// forwarding afterwards (take a batch, publish, acknowledge, delete), beside
// the bare SQLite statements that do the same to the same rows on the same
// file settings (write-ahead log, synchronous=NORMAL), in the same run.
//   build/linux64/bench/velk_bench --benchmark_filter=BM_Store
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "store/forwarder.h"
#include "store/reading_store.h"

namespace {

const int64_t kRecords = 20000;
const int64_t kPerPacket = 10;  // the readings one packet changes, appended together
const int kBatch = 500;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

velkd::StoredRecord Row(int64_t i) {
  velkd::StoredRecord r;
  r.stream = "mqtt";
  r.key = "velk/bus1/inputs/ramp";
  r.value = 5.56 + static_cast<double>(i);
  r.quality = 192;
  r.timeMs = 1765000000000 + i * 100;
  return r;
}

// Ours: the store and the forwarder, with a face whose broker acknowledges
// each message as soon as it is published. Returns appends/s and forwards/s.
std::pair<double, double> Ours(const std::string& file) {
  velkd::ReadingStore store;
  store.Open(file, 256u << 20, nullptr);
  auto start = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < kRecords; i += kPerPacket) {
    std::vector<velkd::StoredRecord> packet;
    for (int64_t j = i; j < i + kPerPacket; ++j) packet.push_back(Row(j));
    store.Append(packet);
  }
  const double append = Seconds(start);
  // Unpaced, to find what the store itself can carry.
  velkd::Forwarder forwarder(&store, "mqtt", {1000000000, kBatch, 4 * kBatch, 10000});
  forwarder.Connected();
  start = std::chrono::steady_clock::now();
  std::vector<velkd::StoredRecord> batch;
  int mid = 0;
  uint64_t sent = 0;
  while (store.counters().held > 0) {
    if (!forwarder.NextBatch(&batch)) {
      forwarder.Poll();
      continue;
    }
    for (const velkd::StoredRecord& r : batch) {
      forwarder.Sent(++mid, {r.id});
      forwarder.Acknowledged(mid);
      benchmark::DoNotOptimize(r.value);
      ++sent;
    }
  }
  forwarder.Poll();
  const double forward = Seconds(start);
  return {static_cast<double>(kRecords) / append, static_cast<double>(sent) / forward};
}

// The bare statements: the same rows, the same transactions.
std::pair<double, double> Bare(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE record(id INTEGER PRIMARY KEY AUTOINCREMENT, stream TEXT NOT NULL, key TEXT NOT NULL,"
               " kind INTEGER NOT NULL, type INTEGER NOT NULL, value, quality INTEGER NOT NULL,"
               " reason TEXT NOT NULL, time_ms INTEGER NOT NULL);"
               "CREATE INDEX record_stream ON record(stream);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* remove = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO record(stream, key, kind, type, value, quality, reason, time_ms)"
                     " VALUES('mqtt', ?, 0, 3, ?, 192, '', ?)",
                     -1, &insert, nullptr);
  sqlite3_prepare_v2(db,
                     "SELECT id, key, kind, type, value, quality, reason, time_ms FROM record"
                     " WHERE stream = 'mqtt' AND id > ? ORDER BY id LIMIT ?",
                     -1, &select, nullptr);
  sqlite3_prepare_v2(db, "DELETE FROM record WHERE id = ?", -1, &remove, nullptr);
  auto start = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < kRecords; i += kPerPacket) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int64_t j = i; j < i + kPerPacket; ++j) {
      const velkd::StoredRecord r = Row(j);
      sqlite3_reset(insert);
      sqlite3_bind_text(insert, 1, r.key.data(), static_cast<int>(r.key.size()), SQLITE_STATIC);
      sqlite3_bind_double(insert, 2, std::get<double>(r.value));
      sqlite3_bind_int64(insert, 3, r.timeMs);
      sqlite3_step(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  const double append = Seconds(start);
  start = std::chrono::steady_clock::now();
  int64_t last = 0;
  uint64_t sent = 0;
  std::vector<int64_t> ids;
  for (;;) {
    ids.clear();
    sqlite3_reset(select);
    sqlite3_bind_int64(select, 1, last);
    sqlite3_bind_int(select, 2, kBatch);
    while (sqlite3_step(select) == SQLITE_ROW) {
      ids.push_back(sqlite3_column_int64(select, 0));
      benchmark::DoNotOptimize(sqlite3_column_double(select, 4));
    }
    if (ids.empty()) break;
    last = ids.back();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int64_t id : ids) {
      sqlite3_reset(remove);
      sqlite3_bind_int64(remove, 1, id);
      sqlite3_step(remove);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sent += ids.size();
  }
  const double forward = Seconds(start);
  sqlite3_finalize(insert);
  sqlite3_finalize(select);
  sqlite3_finalize(remove);
  sqlite3_close(db);
  return {static_cast<double>(kRecords) / append, static_cast<double>(sent) / forward};
}

void BM_StoreSideBySide(benchmark::State& state) {
  double oursAppend = 0, oursForward = 0, bareAppend = 0, bareForward = 0;
  int runs = 0;
  for (auto _ : state) {
    std::string dir = (std::filesystem::temp_directory_path() / "velk-store-XXXXXX").string();
    if (mkdtemp(&dir[0]) == nullptr) return state.SkipWithError("no temporary folder");
    const auto ours = Ours(dir + "/ours.sqlite");
    const auto bare = Bare(dir + "/bare.sqlite");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    oursAppend += ours.first;
    oursForward += ours.second;
    bareAppend += bare.first;
    bareForward += bare.second;
    ++runs;
  }
  state.counters["ours_append_per_s"] = oursAppend / runs;
  state.counters["bare_append_per_s"] = bareAppend / runs;
  state.counters["ours_forward_per_s"] = oursForward / runs;
  state.counters["bare_forward_per_s"] = bareForward / runs;
  state.counters["append_ratio"] = bareAppend > 0 ? oursAppend / bareAppend : 0;
  state.counters["forward_ratio"] = bareForward > 0 ? oursForward / bareForward : 0;
}
BENCHMARK(BM_StoreSideBySide)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
