#include "store/reading_store.h"

#include <sqlite3.h>
#include <stdio.h>
#include <sys/statvfs.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace velkd {
namespace {

// What the disk keeps free however large the limit: the rest of the system
// needs its room more than old readings do.
const uint64_t kMinDiskReserve = 16u << 20;
// Appends between two looks at the disk's free space.
const uint64_t kDiskCheckEvery = 256;

enum ValueType { kNone = 0, kBit = 1, kInteger = 2, kReal = 3, kText = 4 };

const char* const kSchema =
    "CREATE TABLE record(id INTEGER PRIMARY KEY AUTOINCREMENT, stream TEXT NOT NULL, key TEXT NOT NULL,"
    " kind INTEGER NOT NULL, type INTEGER NOT NULL, value, quality INTEGER NOT NULL, reason TEXT NOT NULL,"
    " time_ms INTEGER NOT NULL);"
    "CREATE INDEX record_stream ON record(stream);";

// The first row's first column of `sql` as an integer (0 when none).
int64_t QueryInteger(sqlite3* db, const char* sql, int* rc = nullptr) {
  sqlite3_stmt* statement = nullptr;
  int64_t value = 0;
  int result = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (result == SQLITE_OK) {
    result = sqlite3_step(statement);
    if (result == SQLITE_ROW) {
      value = sqlite3_column_int64(statement, 0);
      result = SQLITE_OK;
    } else if (result == SQLITE_DONE) {
      result = SQLITE_OK;
    }
  }
  sqlite3_finalize(statement);
  if (rc != nullptr) *rc = result;
  return value;
}

std::string QueryText(sqlite3* db, const char* sql, int* rc) {
  sqlite3_stmt* statement = nullptr;
  std::string text;
  *rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (*rc == SQLITE_OK) {
    *rc = sqlite3_step(statement);
    if (*rc == SQLITE_ROW) {
      const unsigned char* column = sqlite3_column_text(statement, 0);
      if (column != nullptr) text = reinterpret_cast<const char*>(column);
      *rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(statement);
  return text;
}

bool BadContent(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

std::string Mib(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof text, "%.4g MiB", static_cast<double>(bytes) / (1u << 20));
  return text;
}

}  // namespace

ReadingStore::~ReadingStore() { Close(); }

void ReadingStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  Finalize();
}

void ReadingStore::Finalize() {
  sqlite3_finalize(insert_);
  sqlite3_finalize(take_);
  sqlite3_finalize(delete_);
  insert_ = take_ = delete_ = nullptr;
  // The last connection's close checkpoints the log into the file and
  // removes it.
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
}

void ReadingStore::Open(const std::string& file, uint64_t limitBytes, StoreLog log) {
  std::lock_guard<std::mutex> lock(mutex_);
  Finalize();
  log_ = std::move(log);
  limitBytes_ = limitBytes;
  taken_.clear();
  fullSaid_ = failSaid_ = false;
  file_.clear();
  if (file.empty()) {
    UseMemory();
    return;
  }
  std::string why;
  FileState state = OpenFile(file, &why);
  if (state == FileState::kBadContent) {
    MoveAside(file, why);
    state = OpenFile(file, &why);
  }
  if (state == FileState::kOpen) return;
  if (log_) log_("store " + file + " cannot be used (" + why + "); readings are kept in memory until velkd stops");
  UseMemory();
}

ReadingStore::FileState ReadingStore::OpenFile(const std::string& file, std::string* why) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::path(file).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  int rc =
      sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  const auto fail = [&](int code, const std::string& what) {
    *why = what + ": " + sqlite3_errstr(code);
    Finalize();
    return BadContent(code) ? FileState::kBadContent : FileState::kUnusable;
  };
  if (rc != SQLITE_OK) return fail(rc, "cannot open");
  // One process owns the file: a second velkd pointed at it keeps its
  // readings in memory rather than forwarding the same ones twice.
  // Exclusive locking also keeps the log's index in memory (no -shm file).
  QueryInteger(db_, "PRAGMA locking_mode=EXCLUSIVE", &rc);
  const std::string mode = rc == SQLITE_OK ? QueryText(db_, "PRAGMA journal_mode=WAL", &rc) : "";
  if (rc != SQLITE_OK) return fail(rc, "cannot read");
  if (mode != "wal") return fail(SQLITE_CANTOPEN, "no write-ahead log");
  const int64_t version = QueryInteger(db_, "PRAGMA user_version", &rc);
  const int64_t objects = rc == SQLITE_OK ? QueryInteger(db_, "SELECT count(*) FROM sqlite_master", &rc) : 0;
  if (rc != SQLITE_OK) return fail(rc, "cannot read");
  if (objects == 0 && version == 0) {
    rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
      rc = sqlite3_exec(db_, ("PRAGMA user_version=" + std::to_string(kVersion)).c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return fail(rc, "cannot start a store");
  } else if (version != kVersion) {
    Finalize();
    *why =
        "written by another version (" + std::to_string(version) + "; this one reads " + std::to_string(kVersion) + ")";
    return FileState::kBadContent;
  } else {
    const std::string check = QueryText(db_, "PRAGMA quick_check", &rc);
    if (rc != SQLITE_OK) return fail(rc, "damaged");
    if (check != "ok") {
      Finalize();
      *why = "damaged: " + check;
      return FileState::kBadContent;
    }
  }
  if (!Prepare()) return fail(SQLITE_CORRUPT, "not a store of readings");
  file_ = file;
  Configure();
  return FileState::kOpen;
}

void ReadingStore::UseMemory() {
  file_.clear();
  sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
  Prepare();
  Configure();
}

// Kept beside the new store, for whoever wants to look at what was in it;
// only the latest, so that files moved aside cannot fill the disk either.
void ReadingStore::MoveAside(const std::string& file, const std::string& why) {
  std::error_code ignored;
  const std::filesystem::path path(file);
  const std::string earlier = path.filename().string() + ".bad-";
  for (const auto& entry : std::filesystem::directory_iterator(
           path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path(), ignored))
    if (entry.path().filename().string().rfind(earlier, 0) == 0) std::filesystem::remove(entry.path(), ignored);
  char stamp[32];
  const time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string aside = file + ".bad-" + stamp;
  std::error_code error;
  std::filesystem::rename(file, aside, error);
  if (std::filesystem::exists(file + "-wal", ignored)) std::filesystem::rename(file + "-wal", aside + "-wal", ignored);
  std::filesystem::remove(file + "-shm", ignored);
  if (log_)
    log_("store " + file + " " + why +
         (error ? "; cannot move it aside (" + error.message() + ")" : "; moved to " + aside) + "; a new store begins");
  if (error) std::filesystem::remove(file, ignored);
}

bool ReadingStore::Prepare() {
  return sqlite3_prepare_v3(db_,
                            "INSERT INTO record(stream, key, kind, type, value, quality, reason, time_ms)"
                            " VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                            -1, SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v3(db_,
                            "SELECT id, key, kind, type, value, quality, reason, time_ms FROM record"
                            " WHERE stream = ? AND id > ? ORDER BY id LIMIT ?",
                            -1, SQLITE_PREPARE_PERSISTENT, &take_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v3(db_, "DELETE FROM record WHERE id = ?", -1, SQLITE_PREPARE_PERSISTENT, &delete_, nullptr) ==
             SQLITE_OK;
}

void ReadingStore::Configure() {
  // A commit reaches the operating system at once and the disk at each
  // checkpoint: a killed process loses nothing, a power cut the last few
  // commits.
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  pageSize_ = std::max<int64_t>(512, QueryInteger(db_, "PRAGMA page_size"));
  // Seven eighths of the limit for the file, one for its log.
  const uint64_t logBytes = limitBytes_ / 8;
  limitPages_ = std::max<int64_t>(16, static_cast<int64_t>((limitBytes_ - logBytes) / pageSize_));
  const int64_t checkpointPages = std::max<int64_t>(16, std::min<int64_t>(1000, logBytes / pageSize_ / 2));
  sqlite3_exec(db_, ("PRAGMA journal_size_limit=" + std::to_string(logBytes)).c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db_, ("PRAGMA wal_autocheckpoint=" + std::to_string(checkpointPages)).c_str(), nullptr, nullptr,
               nullptr);
  CapToDisk();
  held_ = static_cast<uint64_t>(QueryInteger(db_, "SELECT count(*) FROM record"));
  RefreshOldest();
}

// The file may grow to the limit, and no further than the disk's free
// space less a reserve.
void ReadingStore::CapToDisk() {
  appendsSinceDiskCheck_ = 0;
  int64_t cap = limitPages_;
  struct statvfs disk;
  const std::string folder = std::filesystem::path(file_).parent_path().string();
  if (!file_.empty() && statvfs(folder.empty() ? "." : folder.c_str(), &disk) == 0) {
    const uint64_t total = static_cast<uint64_t>(disk.f_blocks) * disk.f_frsize;
    const uint64_t free = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
    const uint64_t reserve = std::max<uint64_t>(kMinDiskReserve, total / 50) + limitBytes_ / 8;
    const int64_t pages = QueryInteger(db_, "PRAGMA page_count");
    const int64_t room = free > reserve ? static_cast<int64_t>((free - reserve) / pageSize_) : 0;
    cap = std::min(cap, pages + room);
  }
  // SQLite keeps the page count it has when asked for less.
  sqlite3_exec(db_, ("PRAGMA max_page_count=" + std::to_string(cap)).c_str(), nullptr, nullptr, nullptr);
}

void ReadingStore::DropOldest(uint64_t count) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, "DELETE FROM record WHERE id IN (SELECT id FROM record ORDER BY id LIMIT ?)", -1,
                         &statement, nullptr) != SQLITE_OK)
    return;
  sqlite3_bind_int64(statement, 1, static_cast<int64_t>(count));
  if (sqlite3_step(statement) == SQLITE_DONE) {
    const uint64_t gone = static_cast<uint64_t>(sqlite3_changes(db_));
    held_ -= std::min<uint64_t>(gone, held_);
    dropped_ += gone;
  }
  sqlite3_finalize(statement);
  RefreshOldest();
}

void ReadingStore::RefreshOldest() {
  oldestMs_ = held_ == 0 ? 0 : QueryInteger(db_, "SELECT time_ms FROM record ORDER BY id LIMIT 1");
}

bool ReadingStore::InsertAll(const std::vector<StoredRecord>& records, int* rc) {
  *rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  for (size_t i = 0; *rc == SQLITE_OK && i < records.size(); ++i) {
    const StoredRecord& r = records[i];
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, r.stream.data(), static_cast<int>(r.stream.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, r.key.data(), static_cast<int>(r.key.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert_, 3, static_cast<int>(r.kind));
    sqlite3_bind_int(insert_, 4, static_cast<int>(r.value.index()));
    if (const bool* bit = std::get_if<bool>(&r.value))
      sqlite3_bind_int(insert_, 5, *bit ? 1 : 0);
    else if (const int64_t* integer = std::get_if<int64_t>(&r.value))
      sqlite3_bind_int64(insert_, 5, *integer);
    else if (const double* real = std::get_if<double>(&r.value))
      sqlite3_bind_double(insert_, 5, *real);
    else if (const std::string* text = std::get_if<std::string>(&r.value))
      sqlite3_bind_text(insert_, 5, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
    else
      sqlite3_bind_null(insert_, 5);
    sqlite3_bind_int(insert_, 6, r.quality);
    sqlite3_bind_text(insert_, 7, r.reason.data(), static_cast<int>(r.reason.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert_, 8, r.timeMs);
    *rc = sqlite3_step(insert_);
    if (*rc == SQLITE_DONE) *rc = SQLITE_OK;
  }
  sqlite3_reset(insert_);
  if (*rc == SQLITE_OK) *rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (*rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return *rc == SQLITE_OK;
}

bool ReadingStore::Append(const std::vector<StoredRecord>& records) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (records.empty()) return true;
  if (db_ == nullptr) {
    dropped_ += records.size();
    return false;
  }
  appendsSinceDiskCheck_ += records.size();
  if (appendsSinceDiskCheck_ >= kDiskCheckEvery) CapToDisk();
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (InsertAll(records, &rc)) {
      const bool wasEmpty = held_ == 0;
      held_ += records.size();
      stored_ += records.size();
      if (wasEmpty) RefreshOldest();
      return true;
    }
    if ((rc & 0xFF) == SQLITE_FULL && held_ > 0) {
      if (!fullSaid_ && log_)
        log_("store " + (file_.empty() ? std::string("in memory") : file_) + " is full (limit " + Mib(limitBytes_) +
             " or the disk's free space): the oldest readings are dropped and counted");
      fullSaid_ = true;
      CapToDisk();
      DropOldest(std::max<uint64_t>(records.size(), held_ / 16));
    } else if (BadContent(rc) && !file_.empty()) {
      const std::string file = file_;
      std::string why = std::string("damaged while writing: ") + sqlite3_errstr(rc);
      Finalize();
      MoveAside(file, why);
      taken_.clear();
      if (OpenFile(file, &why) != FileState::kOpen) UseMemory();
    } else {
      break;
    }
  }
  dropped_ += records.size();
  if (!failSaid_ && log_)
    log_("store " + (file_.empty() ? std::string("in memory") : file_) + " cannot take readings (" +
         sqlite3_errstr(rc) + "): they are dropped and counted");
  failSaid_ = true;
  return false;
}

size_t ReadingStore::Take(const std::string& stream, size_t max, std::vector<StoredRecord>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  out->clear();
  if (db_ == nullptr || max == 0) return 0;
  int64_t& last = taken_[stream];
  sqlite3_reset(take_);
  sqlite3_bind_text(take_, 1, stream.data(), static_cast<int>(stream.size()), SQLITE_STATIC);
  sqlite3_bind_int64(take_, 2, last);
  sqlite3_bind_int64(take_, 3, static_cast<int64_t>(std::min<size_t>(max, INT32_MAX)));
  while (sqlite3_step(take_) == SQLITE_ROW) {
    StoredRecord r;
    r.id = sqlite3_column_int64(take_, 0);
    r.stream = stream;
    const unsigned char* key = sqlite3_column_text(take_, 1);
    r.key.assign(reinterpret_cast<const char*>(key), static_cast<size_t>(sqlite3_column_bytes(take_, 1)));
    r.kind = sqlite3_column_int(take_, 2) == static_cast<int>(RecordKind::kWriteOutcome) ? RecordKind::kWriteOutcome
                                                                                         : RecordKind::kReading;
    switch (sqlite3_column_int(take_, 3)) {
      case kBit: r.value = sqlite3_column_int64(take_, 4) != 0; break;
      case kInteger: r.value = static_cast<int64_t>(sqlite3_column_int64(take_, 4)); break;
      case kReal: r.value = sqlite3_column_double(take_, 4); break;
      case kText: {
        const unsigned char* text = sqlite3_column_text(take_, 4);
        r.value = std::string(reinterpret_cast<const char*>(text),
                              text != nullptr ? static_cast<size_t>(sqlite3_column_bytes(take_, 4)) : 0);
        break;
      }
      default: break;
    }
    r.quality = sqlite3_column_int(take_, 5);
    const unsigned char* reason = sqlite3_column_text(take_, 6);
    r.reason.assign(reinterpret_cast<const char*>(reason), static_cast<size_t>(sqlite3_column_bytes(take_, 6)));
    r.timeMs = sqlite3_column_int64(take_, 7);
    last = r.id;
    out->push_back(std::move(r));
  }
  sqlite3_reset(take_);
  return out->size();
}

void ReadingStore::Acknowledge(const std::vector<int64_t>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || ids.empty()) return;
  uint64_t gone = 0;
  sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  for (int64_t id : ids) {
    sqlite3_reset(delete_);
    sqlite3_bind_int64(delete_, 1, id);
    if (sqlite3_step(delete_) == SQLITE_DONE) gone += static_cast<uint64_t>(sqlite3_changes(db_));
  }
  sqlite3_reset(delete_);
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    // Kept, and sent again later: a duplicate rather than a loss.
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return;
  }
  held_ -= std::min<uint64_t>(gone, held_);
  forwarded_ += gone;
  RefreshOldest();
  if (held_ == 0) fullSaid_ = failSaid_ = false;
}

void ReadingStore::Untake(const std::string& stream, int64_t firstId) {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t& last = taken_[stream];
  last = std::min(last, firstId - 1);
}

StoreCounters ReadingStore::counters() const {
  StoreCounters c;
  c.held = held_;
  c.stored = stored_;
  c.forwarded = forwarded_;
  c.dropped = dropped_;
  c.oldestMs = oldestMs_;
  return c;
}

}  // namespace velkd
