// The store and forward of the gateway, as a face of the core: it keeps, on
// disk, every change of a tag that a delivering face (its stream: "mqtt",
// "sparkplug") could not hand over while its far side was away, and the
// outcomes of writes answered meanwhile; each such face forwards its own
// records through its Forwarder once its far side is back.
//
// A delivering face, on its publishing thread:
//   - before Start, AddStream(name) gives it its Forwarder;
//   - SetAway(name, true, delivered) when its far side is gone (no
//     connection, a publish refused, the primary host offline), with the
//     snapshots it last handed over whole: what changed since is stored,
//     so nothing falls between its last publish and the store;
//   - SetAway(name, false) when it is back, then Forwarder::Connected and,
//     every turn, its live data first and a Forwarder::NextBatch after;
//   - AppendOutcome(name, record) for a write's outcome it cannot send.
//
// Changed runs on the line threads and never waits: with no stream away it
// returns at once; otherwise the snapshot goes onto a bounded queue, and
// one writer thread turns each snapshot into its changes against the
// previous one, one transaction per snapshot.
#ifndef VELKD_STORE_FACE_H
#define VELKD_STORE_FACE_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/face.h"
#include "store/forwarder.h"
#include "store/reading_store.h"
#include "store/store_settings.h"

namespace velkd {

struct StoreStatus {
  enum State { kIdle, kStoring, kForwarding };
  State state = kIdle;
  std::chrono::system_clock::time_point since;  // when the state began
  StoreCounters counters;
};

const char* StoreStateName(StoreStatus::State state);

class StoreFace : public Face {
 public:
  explicit StoreFace(Lines& lines, const StoreSettings& settings) : lines_(lines), settings_(settings) {}
  ~StoreFace() override;
  StoreFace(const StoreFace&) = delete;
  StoreFace& operator=(const StoreFace&) = delete;

  // Before Start: a face that delivers names its stream (at most 32) and
  // gets the forwarder of its records, which lives as long as this face.
  Forwarder* AddStream(const std::string& stream, ForwardPacing pacing = ForwardPacing());

  // Opens the store (only when a stream was added) and starts the writer.
  bool Start() override;
  // Writes what is queued and closes the store; anything unacknowledged
  // stays in the file for the next start.
  void Stop() override;
  void Changed(const std::shared_ptr<const LineSnapshot>& snapshot) override;

  // `delivered`: per line, the snapshot the face last handed over whole
  // (none for a line: every tag read counts as changed).
  void SetAway(const std::string& stream, bool away,
               const std::vector<std::shared_ptr<const LineSnapshot>>& delivered = {});
  void AppendOutcome(const std::string& stream, StoredRecord record);

  bool open() const { return started_; }
  // Records held for every stream; atomics only, never waits.
  uint64_t held() const { return store_.counters().held; }
  StoreStatus status() const;

 private:
  struct Item {
    std::shared_ptr<const LineSnapshot> snapshot;  // null: `record` alone
    uint32_t mask = 0;                             // the streams it is stored for
    bool baseline = false;                         // only the stream's previous snapshot
    bool forget = false;                           // the stream is back: no previous snapshot
    StoredRecord record;
  };
  int IndexOf(const std::string& stream) const;
  void Push(Item item);
  void WriterLoop();
  void Write(const Item& item, std::vector<StoredRecord>* records);

  Lines& lines_;
  const StoreSettings settings_;
  ReadingStore store_;
  std::vector<std::string> streams_;
  std::vector<std::unique_ptr<Forwarder>> forwarders_;
  std::atomic<uint32_t> awayMask_{0};
  std::atomic<bool> started_{false};

  std::mutex mutex_;  // the queue and the writer's stop
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  uint64_t overflowed_ = 0;
  std::thread writer_;
  // The writer's own: per stream, per line, the snapshot last stored.
  std::vector<std::map<std::string, std::shared_ptr<const LineSnapshot>>> previous_;

  mutable std::mutex statusMutex_;
  std::chrono::system_clock::time_point since_;  // of the latest away or back
};

}  // namespace velkd

#endif
