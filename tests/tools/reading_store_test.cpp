// velkd's store of readings and their forwarding: order and acknowledgement,
// the size limit, a process killed with -9, bad files moved aside, and the
// pacing of history after a reconnect, on a clock the test turns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "store/forwarder.h"
#include "store/reading_store.h"
#include "store/store_settings.h"

namespace {

using tooltest::TempDir;
using velkd::Forwarder;
using velkd::ForwardPacing;
using velkd::ReadingStore;
using velkd::RecordKind;
using velkd::StoredRecord;
using velkd::StoredValue;

StoredRecord Reading(const std::string& stream, const std::string& key, StoredValue value, int64_t timeMs) {
  StoredRecord r;
  r.stream = stream;
  r.key = key;
  r.value = std::move(value);
  r.quality = 192;
  r.timeMs = timeMs;
  return r;
}

std::vector<int64_t> Ids(const std::vector<StoredRecord>& records) {
  std::vector<int64_t> ids;
  for (const StoredRecord& r : records) ids.push_back(r.id);
  return ids;
}

std::vector<int64_t> Times(const std::vector<StoredRecord>& records) {
  std::vector<int64_t> times;
  for (const StoredRecord& r : records) times.push_back(r.timeMs);
  return times;
}

struct Logged {
  std::vector<std::string> lines;
  velkd::StoreLog sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

TEST(ReadingStore, HandsOutOldestFirstAndDeletesOnlyWhatWasAcknowledged) {
  TempDir dir;
  const std::string file = dir.path() + "/state/readings.sqlite";
  std::vector<StoredRecord> written = {
      Reading("mqtt", "velk/bus1/in/di1", true, 1000),
      Reading("mqtt", "velk/bus1/ai/t", int64_t{-9007199254740993}, 1001),
      Reading("sparkplug", "ai/t", 21.5, 1002),
      Reading("mqtt", "velk/bus1/ai/t", 0.1 + 0.2, 1003),
      Reading("mqtt", "velk/bus1/panel/name", std::string("PANEL\"11\"\n"), 1004),
      Reading("mqtt", "velk/bus1/ai/u", StoredValue(), 1005),
  };
  written[5].quality = 0;
  written[5].reason = "no answer";
  written[4].kind = RecordKind::kWriteOutcome;
  {
    ReadingStore store;
    store.Open(file, 64u << 20, nullptr);
    ASSERT_EQ(store.file(), file);
    // Two transactions, one per packet as a line hands them over.
    ASSERT_TRUE(store.Append({written.begin(), written.begin() + 3}));
    ASSERT_TRUE(store.Append({written.begin() + 3, written.end()}));
    EXPECT_EQ(store.counters().held, 6u);
    EXPECT_EQ(store.counters().oldestMs, 1000);

    std::vector<StoredRecord> batch;
    ASSERT_EQ(store.Take("mqtt", 2, &batch), 2u);
    EXPECT_EQ(Times(batch), (std::vector<int64_t>{1000, 1001}));
    const std::vector<int64_t> first = Ids(batch);
    ASSERT_EQ(store.Take("mqtt", 10, &batch), 3u);  // not what is in flight, not another stream's
    EXPECT_EQ(Times(batch), (std::vector<int64_t>{1003, 1004, 1005}));
    for (size_t i = 0; i < batch.size(); ++i) {
      EXPECT_EQ(batch[i].key, written[i + 3].key);
      EXPECT_EQ(batch[i].value, written[i + 3].value) << i;
      EXPECT_EQ(batch[i].kind, written[i + 3].kind);
      EXPECT_EQ(batch[i].quality, written[i + 3].quality);
      EXPECT_EQ(batch[i].reason, written[i + 3].reason);
    }
    EXPECT_EQ(store.Take("mqtt", 10, &batch), 0u);

    store.Acknowledge({first[1]});  // out of order: only that one goes
    store.Untake("mqtt", first[0]);
    ASSERT_EQ(store.Take("mqtt", 10, &batch), 4u);
    EXPECT_EQ(Times(batch), (std::vector<int64_t>{1000, 1003, 1004, 1005}));
    EXPECT_EQ(store.counters().forwarded, 1u);
    EXPECT_EQ(store.counters().held, 5u);
  }
  // A new start hands out everything not acknowledged, from the oldest.
  ReadingStore store;
  store.Open(file, 64u << 20, nullptr);
  std::vector<StoredRecord> batch;
  ASSERT_EQ(store.Take("mqtt", 10, &batch), 4u);
  EXPECT_EQ(Times(batch), (std::vector<int64_t>{1000, 1003, 1004, 1005}));
  EXPECT_EQ(std::get<double>(batch[1].value), 0.1 + 0.2);
  EXPECT_EQ(std::get<int64_t>(written[1].value), -9007199254740993);
  ASSERT_EQ(store.Take("sparkplug", 10, &batch), 1u);
  store.Acknowledge({batch[0].id});
  EXPECT_EQ(store.counters().held, 4u);
  EXPECT_EQ(store.counters().oldestMs, 1000);
}

// A folder on tmpfs where there is one: a store this small checkpoints (and
// syncs) every few commits, and what is tested here is the count, not the disk.
struct TmpfsDir {
  std::string path = "/dev/shm/velk-store-XXXXXX";
  TmpfsDir() {
    if (mkdtemp(&path[0]) == nullptr) path = fallback.path();
  }
  ~TmpfsDir() {
    std::error_code ignored;
    if (path != fallback.path()) std::filesystem::remove_all(path, ignored);
  }
  TempDir fallback;
};

TEST(ReadingStore, AtItsLimitDropsTheOldestCountsThemAndSaysSoOnce) {
  TmpfsDir dir;
  const std::string file = dir.path + "/readings.sqlite";
  const uint64_t limit = 1u << 20;
  Logged log;
  ReadingStore store;
  store.Open(file, limit, log.sink());
  const std::string payload(200, 'x');
  const int64_t count = 20000;  // about four times what fits
  for (int64_t i = 0; i < count; i += 10) {
    std::vector<StoredRecord> packet;
    for (int64_t j = i; j < i + 10; ++j) packet.push_back(Reading("mqtt", "velk/bus1/ai/t", payload, j));
    ASSERT_TRUE(store.Append(packet)) << i;
    const uint64_t onDisk = std::filesystem::file_size(file) +
                            (std::filesystem::exists(file + "-wal") ? std::filesystem::file_size(file + "-wal") : 0);
    ASSERT_LE(onDisk, limit) << i;
  }
  const velkd::StoreCounters c = store.counters();
  EXPECT_GT(c.dropped, 0u);
  EXPECT_GT(c.held, 1000u);
  EXPECT_EQ(c.held + c.dropped, static_cast<uint64_t>(count));
  EXPECT_EQ(log.lines.size(), 1u);
  // What is left is the newest, without a gap.
  std::vector<StoredRecord> all;
  store.Take("mqtt", count, &all);
  ASSERT_EQ(all.size(), c.held);
  EXPECT_EQ(all.front().timeMs, static_cast<int64_t>(c.dropped));
  EXPECT_EQ(all.back().timeMs, count - 1);
  EXPECT_EQ(c.oldestMs, static_cast<int64_t>(c.dropped));
}

TEST(ReadingStore, KeepsEveryAppendOfAProcessKilledWithSignalNine) {
  TempDir dir;
  const std::string file = dir.path() + "/readings.sqlite";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    ReadingStore store;
    store.Open(file, 64u << 20, nullptr);
    for (int64_t i = 0;; ++i) {
      if (!store.Append({Reading("mqtt", "velk/bus1/ai/t", i, i)})) _exit(2);
      // Told only once the append returned: everything told must survive.
      if (write(pipeFds[1], &i, sizeof i) != sizeof i) _exit(3);
    }
  }
  close(pipeFds[1]);
  int64_t told = -1;
  int64_t value = 0;
  while (told < 3000 && read(pipeFds[0], &value, sizeof value) == sizeof value) told = value;
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(pipeFds[0]);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_GE(told, 3000);

  Logged log;
  ReadingStore store;
  store.Open(file, 64u << 20, log.sink());
  EXPECT_TRUE(log.lines.empty());
  std::vector<StoredRecord> all;
  store.Take("mqtt", 1000000, &all);
  ASSERT_GT(static_cast<int64_t>(all.size()), told);
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(std::get<int64_t>(all[i].value), static_cast<int64_t>(i));
}

void WriteBytes(const std::string& file, const std::string& bytes, std::streamoff at = 0) {
  std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
  if (!out) out.open(file, std::ios::out | std::ios::binary);
  out.seekp(at);
  out << bytes;
}

void Sql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

TEST(ReadingStore, MovesABadFileAsideAndStartsAfresh) {
  struct BadFile {
    const char* what;
    void (*make)(const std::string& file);
    const char* said;
  };
  const BadFile cases[] = {
      {"not a database", [](const std::string& f) { WriteBytes(f, std::string(8192, 'V')); }, "not a database"},
      {"another version", [](const std::string& f) { Sql(f, "CREATE TABLE record(x); PRAGMA user_version=7;"); },
       "another version (7"},
      {"another program's database", [](const std::string& f) { Sql(f, "CREATE TABLE songs(title TEXT);"); },
       "another version (0"},
      {"pages overwritten",
       [](const std::string& f) {
         {
           ReadingStore store;
           store.Open(f, 64u << 20, nullptr);
           std::vector<StoredRecord> many;
           for (int64_t i = 0; i < 5000; ++i) many.push_back(Reading("mqtt", "velk/bus1/ai/t", i, i));
           store.Append(many);
         }
         WriteBytes(f, std::string(3 * 4096, '\x5a'), 2 * 4096);
       },
       "damaged"},
  };
  // One folder for all: only the latest file moved aside is kept.
  TmpfsDir folder;
  const std::string file = folder.path + "/readings.sqlite";
  for (const BadFile& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(file);
    c.make(file);
    Logged log;
    ReadingStore store;
    store.Open(file, 64u << 20, log.sink());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(c.said), std::string::npos) << log.lines[0];
    EXPECT_NE(log.lines[0].find("moved to " + file + ".bad-"), std::string::npos) << log.lines[0];
    EXPECT_EQ(store.file(), file);
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path))
      aside += entry.path().filename().string().rfind("readings.sqlite.bad-", 0) == 0 ? 1 : 0;
    EXPECT_EQ(aside, 1);
    EXPECT_EQ(store.counters().held, 0u);
    ASSERT_TRUE(store.Append({Reading("mqtt", "k", int64_t{1}, 5)}));
    std::vector<StoredRecord> batch;
    EXPECT_EQ(store.Take("mqtt", 10, &batch), 1u);
  }
  // A place that cannot hold a file, or a file another velkd holds:
  // readings wait in memory.
  TempDir dir;
  const std::string held = dir.path() + "/held.sqlite";
  ReadingStore holder;
  holder.Open(held, 64u << 20, nullptr);
  ASSERT_EQ(holder.file(), held);
  for (const std::string& place : {dir.Write("plain", "x") + "/readings.sqlite", held}) {
    SCOPED_TRACE(place);
    Logged log;
    ReadingStore store;
    store.Open(place, 64u << 20, log.sink());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("kept in memory"), std::string::npos) << log.lines[0];
    EXPECT_EQ(store.file(), "");
    ASSERT_TRUE(store.Append({Reading("mqtt", "k", int64_t{1}, 5)}));
    EXPECT_EQ(store.counters().held, 1u);
  }
}

// The forwarder on a clock the test turns, over a store in memory.
struct ForwardBench {
  ReadingStore store;
  uint64_t now = 1000;
  Forwarder forwarder;
  int nextMid = 1;
  explicit ForwardBench(ForwardPacing pacing, int64_t records)
      : forwarder(&store, "mqtt", pacing, [this] { return now; }) {
    store.Open("", 64u << 20, nullptr);
    std::vector<StoredRecord> all;
    for (int64_t i = 0; i < records; ++i) all.push_back(Reading("mqtt", "velk/bus1/ai/t", i, i));
    store.Append(all);
  }
  // One turn of the face's loop: what is due goes out, one message a record.
  std::vector<int> Turn(std::vector<int64_t>* sentTimes) {
    std::vector<StoredRecord> batch;
    std::vector<int> mids;
    if (forwarder.NextBatch(&batch))
      for (const StoredRecord& r : batch) {
        forwarder.Sent(nextMid, {r.id});
        mids.push_back(nextMid++);
        sentTimes->push_back(r.timeMs);
      }
    return mids;
  }
};

TEST(Forwarder, PacesHistoryAndBoundsWhatIsUnacknowledged) {
  struct PacingCase {
    const char* what;
    ForwardPacing pacing;
    bool acknowledge;  // the broker acknowledges each turn's messages
    uint64_t turnMs;
    int turns;
    size_t sent;
  };
  const PacingCase cases[] = {
      {"the rate bounds", {1000, 100, 100000, 10000}, true, 10, 100, 1000},
      {"a late turn sends one batch, not its whole credit", {1000, 50, 100000, 10000}, true, 1000, 3, 150},
      {"the window bounds when nothing is acknowledged", {100000, 100, 250, 10000}, false, 10, 100, 250},
      {"acknowledgements reopen the window", {100000, 100, 250, 10000}, true, 10, 30, 3000},
  };
  for (const PacingCase& c : cases) {
    SCOPED_TRACE(c.what);
    ForwardBench bench(c.pacing, 5000);
    bench.forwarder.Connected();
    std::vector<int64_t> times;
    for (int t = 0; t < c.turns; ++t) {
      bench.now += c.turnMs;
      for (int mid : bench.Turn(&times))
        if (c.acknowledge) bench.forwarder.Acknowledged(mid);
    }
    EXPECT_EQ(times.size(), c.sent);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_EQ(times[i], static_cast<int64_t>(i));
    bench.forwarder.Poll();
    EXPECT_EQ(bench.store.counters().forwarded, c.acknowledge ? c.sent : 0u);
  }
}

TEST(Forwarder, DeletesOnlyOnAcknowledgementAndSendsAgainWhatWasNot) {
  ForwardBench bench({1000, 10, 1000, 5000}, 30);
  std::vector<int64_t> times;
  bench.now += 100;
  EXPECT_TRUE(bench.Turn(&times).empty()) << "nothing goes before the broker is there";
  bench.forwarder.Connected();
  bench.now += 10;
  std::vector<int> mids = bench.Turn(&times);
  ASSERT_EQ(mids.size(), 10u);
  // A live message's acknowledgement (unknown here) is dropped; one that
  // overtakes Sent(), arriving between the publish and Sent(), counts.
  bench.forwarder.Acknowledged(9999);
  std::vector<StoredRecord> batch;
  bench.now += 10;
  ASSERT_TRUE(bench.forwarder.NextBatch(&batch));
  bench.forwarder.Acknowledged(bench.nextMid);
  bench.forwarder.Sent(bench.nextMid++, {batch[0].id});
  bench.forwarder.NotSent(batch[1].id);  // the publish was refused: it and the rest go again
  EXPECT_EQ(bench.store.counters().forwarded, 0u) << "deleted together, on the next poll";
  bench.forwarder.Poll();
  EXPECT_EQ(bench.store.counters().forwarded, 1u);
  for (int i = 0; i < 5; ++i) bench.forwarder.Acknowledged(mids[static_cast<size_t>(i)]);
  bench.forwarder.Disconnected();
  bench.forwarder.Poll();
  EXPECT_EQ(bench.store.counters().forwarded, 6u);
  // The library sends the rest again after the reconnect, with their ids.
  bench.now += 60000;
  bench.forwarder.Connected();
  bench.forwarder.Acknowledged(mids[5]);
  bench.now += 4000;
  times.clear();
  bench.Turn(&times);
  EXPECT_EQ(times, (std::vector<int64_t>{11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
  EXPECT_EQ(bench.store.counters().forwarded, 7u);
  // Not acknowledged within the time-out after the reconnect: sent again
  // from the earliest, after what was acknowledged.
  bench.now += 1000;
  times.clear();
  bench.Turn(&times);
  EXPECT_EQ(times, (std::vector<int64_t>{6, 7, 8, 9, 11, 12, 13, 14, 15, 16}));
  EXPECT_EQ(bench.forwarder.resent(), 14u);
}

// As on the face: the broker's acknowledgements arrive on another thread
// (libmosquitto's network thread) while the publishing thread sends.
TEST(Forwarder, TakesAcknowledgementsFromAnotherThread) {
  ReadingStore store;
  store.Open("", 64u << 20, nullptr);
  std::vector<StoredRecord> all;
  for (int64_t i = 0; i < 5000; ++i) all.push_back(Reading("mqtt", "velk/bus1/ai/t", i, i));
  store.Append(all);
  Forwarder forwarder(&store, "mqtt", {1000000, 100, 300, 60000});
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<int> published;
  bool done = false;
  std::thread broker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!done || !published.empty()) {
      wake.wait(lock, [&] { return done || !published.empty(); });
      while (!published.empty()) {
        const int mid = published.front();
        published.pop_front();
        lock.unlock();
        forwarder.Acknowledged(mid);
        lock.lock();
      }
    }
  });
  forwarder.Connected();
  std::vector<StoredRecord> batch;
  std::vector<int64_t> times;
  int mid = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (store.counters().held > 0 && std::chrono::steady_clock::now() < deadline) {
    if (!forwarder.NextBatch(&batch)) std::this_thread::yield();
    for (const StoredRecord& r : batch) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        published.push_back(++mid);  // the acknowledgement may come before Sent()
      }
      wake.notify_one();
      forwarder.Sent(mid, {r.id});
      times.push_back(r.timeMs);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  wake.notify_one();
  broker.join();
  forwarder.Poll();
  EXPECT_EQ(store.counters().held, 0u);
  EXPECT_EQ(store.counters().forwarded, 5000u);
  EXPECT_EQ(forwarder.resent(), 0u);
  ASSERT_EQ(times.size(), 5000u);
  for (size_t i = 0; i < times.size(); ++i) ASSERT_EQ(times[i], static_cast<int64_t>(i));
}

TEST(StoreSettings, ReadsTheTableWithEachProblemAtItsLine) {
  struct SettingsCase {
    const char* toml;
    std::string path;
    uint32_t mib;
    std::vector<std::pair<int, std::string>> problems;  // line and a part of the message
  };
  const SettingsCase cases[] = {
      {"[store]\npath = \"/srv/velkd\"\nsize_limit_mib = 8\n", "/srv/velkd", 8, {}},
      {"[store]\n", "", 64, {}},
      {"[store]\npath = \"state\"\nsize_limit_mib = 0\nsize = 3\n",
       "",
       64,
       {{2, "absolute folder"}, {3, "from 1 to 65536"}, {4, "unknown key 'size'"}}},
      {"[store]\npath = 5\nsize_limit_mib = 1.5\n", "", 64, {{2, "folder in quotes"}, {3, "whole number"}}},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.toml);
    const toml::table root = toml::parse(c.toml);
    velkd::StoreSettings settings;
    std::vector<std::pair<int, std::string>> problems;
    velkd::ReadStoreTable(*root.get("store")->as_table(), &settings, &problems);
    EXPECT_EQ(settings.path, c.path);
    EXPECT_EQ(settings.sizeLimitMib, c.mib);
    ASSERT_EQ(problems.size(), c.problems.size());
    std::sort(problems.begin(), problems.end());
    for (size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(problems[i].first, c.problems[i].first);
      EXPECT_NE(problems[i].second.find(c.problems[i].second), std::string::npos) << problems[i].second;
    }
  }
  struct PlaceCase {
    const char* path;
    const char* stateDirectory;
    const char* xdgStateHome;
    const char* home;
    const char* file;
  };
  const PlaceCase places[] = {
      {"/srv/velkd/", "/var/lib/velkd", "/x", "/home/u", "/srv/velkd/readings.sqlite"},
      {"", "/var/lib/velkd:/var/lib/other", "/x", "/home/u", "/var/lib/velkd/readings.sqlite"},
      {"", nullptr, "/home/u/.state", "/home/u", "/home/u/.state/velkd/readings.sqlite"},
      {"", nullptr, "relative", "/home/u", "/home/u/.local/state/velkd/readings.sqlite"},
      {"", nullptr, nullptr, nullptr, ""},
  };
  const auto set = [](const char* name, const char* value) {
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  };
  const char* home = getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  for (const PlaceCase& p : places) {
    set("STATE_DIRECTORY", p.stateDirectory);
    set("XDG_STATE_HOME", p.xdgStateHome);
    set("HOME", p.home);
    velkd::StoreSettings settings;
    settings.path = p.path;
    EXPECT_EQ(velkd::StoreFile(settings), p.file) << p.path;
  }
  unsetenv("STATE_DIRECTORY");
  unsetenv("XDG_STATE_HOME");
  set("HOME", home != nullptr ? savedHome.c_str() : nullptr);
}

}  // namespace
