#include "store/forwarder.h"

#include <algorithm>
#include <chrono>

namespace velkd {

uint64_t Forwarder::SteadyMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

Forwarder::Forwarder(ReadingStore* store, std::string stream, ForwardPacing pacing, Clock clock)
    : store_(store), stream_(std::move(stream)), pacing_(pacing), clock_(std::move(clock)) {}

void Forwarder::Connected() {
  Poll();
  connected_ = true;
  const uint64_t now = clock_();
  credit_ = 0;
  creditMs_ = now;
  // The library sends what was in flight again now: its time starts anew.
  for (auto& entry : inFlight_) entry.second.sentMs = now;
}

void Forwarder::Disconnected() {
  Poll();
  connected_ = false;
}

void Forwarder::Acknowledged(int mid) {
  std::lock_guard<std::mutex> lock(ackMutex_);
  acks_.push_back(mid);
}

void Forwarder::MatchAcknowledgements() {
  {
    std::lock_guard<std::mutex> lock(ackMutex_);
    draining_.swap(acks_);
  }
  for (int mid : draining_) {
    auto found = inFlight_.find(mid);
    if (found == inFlight_.end()) continue;  // a live message's, or one given up
    acknowledgedIds_.insert(acknowledgedIds_.end(), found->second.ids.begin(), found->second.ids.end());
    inFlightRecords_ -= found->second.ids.size();
    inFlight_.erase(found);
  }
  draining_.clear();
}

void Forwarder::Poll() {
  MatchAcknowledgements();
  // One transaction for all of them: a commit per message would bound the
  // rate by the commits.
  store_->Acknowledge(acknowledgedIds_);
  acknowledgedIds_.clear();
}

bool Forwarder::NextBatch(std::vector<StoredRecord>* out) {
  out->clear();
  Poll();
  if (!connected_) return false;
  const uint64_t now = clock_();
  bool late = false;
  int64_t first = INT64_MAX;
  for (const auto& entry : inFlight_) {
    late = late || now - entry.second.sentMs >= pacing_.ackTimeoutMs;
    if (!entry.second.ids.empty()) first = std::min(first, entry.second.ids.front());
  }
  if (late) {
    // Everything from the earliest unacknowledged record on goes again; what
    // was acknowledged meanwhile is deleted and not taken twice.
    store_->Untake(stream_, first);
    resent_ += inFlightRecords_;
    inFlight_.clear();
    inFlightRecords_ = 0;
  }
  credit_ =
      std::min<double>(pacing_.batch, credit_ + static_cast<double>(now - creditMs_) * pacing_.perSecond / 1000.0);
  creditMs_ = now;
  const size_t room = pacing_.window > inFlightRecords_ ? pacing_.window - inFlightRecords_ : 0;
  const size_t count = std::min<size_t>({static_cast<size_t>(credit_), pacing_.batch, room});
  if (count == 0) return false;
  store_->Take(stream_, count, out);
  credit_ -= static_cast<double>(out->size());
  return !out->empty();
}

void Forwarder::Sent(int mid, const std::vector<int64_t>& ids) {
  Message& message = inFlight_[mid];
  inFlightRecords_ -= message.ids.size();  // a reused id replaces its forgotten message
  message.ids = ids;
  message.sentMs = clock_();
  inFlightRecords_ += ids.size();
  MatchAcknowledgements();
}

void Forwarder::NotSent(int64_t firstId) { store_->Untake(stream_, firstId); }

}  // namespace velkd
