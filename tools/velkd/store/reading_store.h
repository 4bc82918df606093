// Readings kept on disk, in SQLite, while a face cannot deliver them, and
// handed back oldest first until the far side acknowledged each.
//
// The file is in write-ahead-log mode with synchronous=NORMAL: a commit is
// in the operating system's hands when Append returns, so a process that is
// stopped or killed (-9) loses nothing it appended; a power cut may lose
// the commits since the last checkpoint's sync. The file and its log stay
// within the size limit, and within the disk's free space less a reserve:
// beyond either, the oldest records are dropped and counted.
//
// A file that is not a store of this version (corrupt, foreign, another
// version) is renamed beside itself with a log line and a new store begins.
// A folder that cannot be written leaves the store in memory, again with a
// log line: the store never stops velkd from running.
//
// Thread safety: every member may be called from any thread; the calls are
// serialised inside. counters() reads atomics only and never waits.
#ifndef VELKD_READING_STORE_H
#define VELKD_READING_STORE_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/stored_record.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velkd {

// One line for the log, a warning: the file moved aside, the store full.
using StoreLog = std::function<void(const std::string& line)>;

struct StoreCounters {
  uint64_t held = 0;       // records in the store now
  uint64_t stored = 0;     // appended since this start
  uint64_t forwarded = 0;  // acknowledged and deleted since this start
  uint64_t dropped = 0;    // dropped for the limit (or a failed write) since this start
  int64_t oldestMs = 0;    // the oldest held record's own time; 0 when none is held
};

class ReadingStore {
 public:
  // The file's layout; a file that says otherwise (PRAGMA user_version) is
  // moved aside.
  static const int kVersion = 1;

  ReadingStore() = default;
  ~ReadingStore();
  ReadingStore(const ReadingStore&) = delete;
  ReadingStore& operator=(const ReadingStore&) = delete;

  // Opens `file` (its folder is made when missing), or an empty store in
  // memory when `file` is empty or cannot be used. Records from an earlier
  // run are kept and handed out again from the oldest.
  void Open(const std::string& file, uint64_t limitBytes, StoreLog log);
  void Close();

  // The file in use; empty when the store is in memory.
  const std::string& file() const { return file_; }

  // Appends in one transaction. Makes room by dropping the oldest records
  // (counted) when the limit is reached; false only when a record could
  // still not be written, and then it counts as dropped.
  bool Append(const std::vector<StoredRecord>& records);

  // Up to `max` of `stream`'s oldest records that were not taken before,
  // in order, into `out` (replacing its contents). Taken records stay in
  // the store until acknowledged.
  size_t Take(const std::string& stream, size_t max, std::vector<StoredRecord>* out);
  // Deletes records the far side acknowledged. Ids no longer held (dropped
  // meanwhile) are ignored.
  void Acknowledge(const std::vector<int64_t>& ids);
  // The records of `stream` from `firstId` on were not delivered after
  // all: the next Take hands them out again.
  void Untake(const std::string& stream, int64_t firstId);

  StoreCounters counters() const;

 private:
  enum class FileState { kOpen, kBadContent, kUnusable };
  // Opens `file` as a store; otherwise `why` says what stands in the way:
  // its content (moved aside and started afresh) or the place.
  FileState OpenFile(const std::string& file, std::string* why);
  void MoveAside(const std::string& file, const std::string& why);
  void UseMemory();
  bool Prepare();
  void Configure();
  void CapToDisk();
  void DropOldest(uint64_t count);
  bool InsertAll(const std::vector<StoredRecord>& records, int* rc);
  void RefreshOldest();
  void Finalize();

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* take_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  std::string file_;
  uint64_t limitBytes_ = 0;
  int64_t pageSize_ = 4096;
  int64_t limitPages_ = 0;
  uint64_t appendsSinceDiskCheck_ = 0;
  bool fullSaid_ = false;
  bool failSaid_ = false;
  StoreLog log_;
  std::map<std::string, int64_t> taken_;  // per stream: the last id handed out

  std::atomic<uint64_t> held_{0};
  std::atomic<uint64_t> stored_{0};
  std::atomic<uint64_t> forwarded_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<int64_t> oldestMs_{0};
};

}  // namespace velkd

#endif
