#include "core/store_face.h"

#include "core/gateway.h"
#include "core/journal_log.h"

namespace velkd {
namespace {

// Snapshots waiting for the writer; beyond this the oldest go, and with
// them only the changes they alone carried (the next one is diffed
// against the last written).
const size_t kMaxQueued = 4096;
// 100 ns ticks from 1601 to 1970.
const uint64_t kFileTimeEpoch = 116444736000000000ULL;

StoredValue ToStored(const Value& value) {
  switch (value.kind) {
    case Value::kBit: return value.integer != 0;
    case Value::kInteger: return value.integer;
    case Value::kReal: return value.real;
    case Value::kText: return value.text;
    default: return std::monostate();
  }
}

// What a subscriber sees change: the value, its quality, its reason. The
// time alone is no change, as on the live topics.
bool SameReading(const Reading& a, const Reading& b) {
  return a.read == b.read && a.good == b.good && a.quality == b.quality && a.reason == b.reason &&
         a.engineering == b.engineering;
}

int64_t TimeMs(const Reading& reading) {
  // The driver's time stamp, which the live topics carry too.
  if (reading.fileTime > kFileTimeEpoch) return static_cast<int64_t>((reading.fileTime - kFileTimeEpoch) / 10000);
  return std::chrono::duration_cast<std::chrono::milliseconds>(reading.readAt.time_since_epoch()).count();
}

}  // namespace

const char* StoreStateName(StoreStatus::State state) {
  switch (state) {
    case StoreStatus::kStoring: return "storing";
    case StoreStatus::kForwarding: return "forwarding";
    default: return "idle";
  }
}

StoreFace::~StoreFace() { Stop(); }

Forwarder* StoreFace::AddStream(const std::string& stream, ForwardPacing pacing) {
  const int found = IndexOf(stream);
  if (found >= 0) return forwarders_[static_cast<size_t>(found)].get();
  if (streams_.size() >= 32) return nullptr;
  streams_.push_back(stream);
  forwarders_.push_back(std::make_unique<Forwarder>(&store_, stream, pacing));
  previous_.emplace_back();
  return forwarders_.back().get();
}

int StoreFace::IndexOf(const std::string& stream) const {
  for (size_t s = 0; s < streams_.size(); ++s)
    if (streams_[s] == stream) return static_cast<int>(s);
  return -1;
}

bool StoreFace::Start() {
  if (streams_.empty() || started_) return true;
  const std::string file = StoreFile(settings_);
  store_.Open(file, settings_.limitBytes(), [](const std::string& line) { Log(kWarning, "%s", line.c_str()); });
  const uint64_t held = store_.counters().held;
  if (held > 0)
    Log(kNotice, "store %s: %llu readings from before, forwarded when the broker is back",
        file.empty() ? "(in memory)" : file.c_str(), static_cast<unsigned long long>(held));
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    since_ = std::chrono::system_clock::now();
  }
  stopping_ = false;
  writer_ = std::thread([this] { WriterLoop(); });
  started_ = true;
  return true;
}

void StoreFace::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  writer_.join();
  started_ = false;
  store_.Close();
}

void StoreFace::Changed(const std::shared_ptr<const LineSnapshot>& snapshot) {
  // The healthy path: every stream delivers, nothing to keep.
  const uint32_t mask = awayMask_.load(std::memory_order_relaxed);
  if (mask == 0 || !started_) return;
  Item item;
  item.snapshot = snapshot;
  item.mask = mask;
  Push(std::move(item));
}

void StoreFace::Push(Item item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
      queue_.pop_front();
      if (overflowed_++ == 0) Log(kWarning, "store: the disk does not keep up; snapshots are merged");
    }
    queue_.push_back(std::move(item));
  }
  wake_.notify_one();
}

void StoreFace::SetAway(const std::string& stream, bool away,
                        const std::vector<std::shared_ptr<const LineSnapshot>>& delivered) {
  const int index = IndexOf(stream);
  if (index < 0) return;
  const uint32_t bit = 1u << index;
  if (((awayMask_.load() & bit) != 0) == away) return;
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    since_ = std::chrono::system_clock::now();
  }
  if (!away) {
    awayMask_ &= ~bit;
    Item forget;
    forget.mask = bit;
    forget.forget = true;
    if (started_) Push(std::move(forget));
    return;
  }
  // The baselines first, then the flag, then the lines' state now: a
  // snapshot published meanwhile is either in the state read or queued
  // after the baseline (the writer skips one it has seen).
  if (started_)
    for (const auto& snapshot : delivered) {
      if (snapshot == nullptr) continue;
      Item base;
      base.snapshot = snapshot;
      base.mask = bit;
      base.baseline = true;
      Push(std::move(base));
    }
  awayMask_ |= bit;
  if (!started_) return;
  for (const auto& line : lines_.plant()->lines) {
    Item now;
    now.snapshot = line->state().Latest();
    now.mask = bit;
    Push(std::move(now));
  }
}

void StoreFace::AppendOutcome(const std::string& stream, StoredRecord record) {
  const int index = IndexOf(stream);
  if (index < 0 || !started_) return;
  record.stream = stream;
  record.kind = RecordKind::kWriteOutcome;
  Item item;
  item.mask = 1u << index;
  item.record = std::move(record);
  Push(std::move(item));
}

void StoreFace::WriterLoop() {
  std::vector<StoredRecord> records;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, with everything written
    Item item = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    records.clear();
    Write(item, &records);
    if (!records.empty()) store_.Append(records);
    lock.lock();
  }
}

void StoreFace::Write(const Item& item, std::vector<StoredRecord>* records) {
  if (item.snapshot == nullptr && !item.forget) {
    records->push_back(item.record);
    return;
  }
  for (size_t s = 0; s < streams_.size(); ++s) {
    if ((item.mask & (1u << s)) == 0) continue;
    std::map<std::string, std::shared_ptr<const LineSnapshot>>& previous = previous_[s];
    if (item.forget) {
      previous.clear();
      continue;
    }
    const LineSnapshot& now = *item.snapshot;
    std::shared_ptr<const LineSnapshot>& before = previous[now.name];
    const bool sameLine =
        before != nullptr && before->lineFile == now.lineFile && before->tags.size() == now.tags.size();
    if (sameLine && before->sequence >= now.sequence) continue;  // seen already
    if (!item.baseline) {
      const LineFile& lineFile = *now.lineFile;
      for (size_t t = 0; t < now.tags.size() && t < lineFile.tags.size(); ++t) {
        const Reading& reading = now.tags[t];
        if (!reading.read || (sameLine && SameReading(reading, before->tags[t]))) continue;
        const TagRow& row = lineFile.tags[t];
        StoredRecord record;
        record.stream = streams_[s];
        record.key = now.name + "/" + row.device + "/" + row.name;
        record.value = ToStored(reading.engineering);
        record.quality = reading.quality;
        record.reason = reading.good ? "" : (reading.reason.empty() ? "failed" : reading.reason);
        record.timeMs = TimeMs(reading);
        records->push_back(std::move(record));
      }
    }
    before = item.snapshot;
  }
}

StoreStatus StoreFace::status() const {
  StoreStatus status;
  status.counters = store_.counters();
  std::lock_guard<std::mutex> lock(statusMutex_);
  status.since = since_;
  if (started_ && awayMask_.load() != 0)
    status.state = StoreStatus::kStoring;
  else if (status.counters.held > 0)
    status.state = StoreStatus::kForwarding;
  return status;
}

}  // namespace velkd
