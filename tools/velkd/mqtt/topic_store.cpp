#include "mqtt/topic_store.h"

namespace velkd {

void TopicStore::Set(const std::string& topic, const std::string& payload, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(topic);
  if (found == entries_.end()) {
    Entry entry;
    entry.payload = payload;
    entry.key = key;
    entries_.emplace(topic, std::move(entry));
  } else {
    Entry& entry = found->second;
    entry.payload = payload;
    if (entry.key == key) return;
    entry.key = key;
    entry.due = true;
  }
  dueAny_ = true;
  changed_.notify_all();
}

std::vector<Message> TopicStore::Forget(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Message> due;
  for (auto it = entries_.lower_bound(prefix);
       it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    if (it->second.due) due.push_back({it->first, it->second.payload});
    it = entries_.erase(it);
  }
  return due;
}

void TopicStore::MarkAllDue() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [topic, entry] : entries_) entry.due = true;
  dueAny_ = true;
  changed_.notify_all();
}

void TopicStore::MarkDue(const std::string& topic) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(topic);
  if (found == entries_.end()) return;
  found->second.due = true;
  dueAny_ = true;
}

TopicStore::Clock::time_point TopicStore::NextByAge() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [topic, entry] : entries_)
    if (entry.sent + maxInterval_ < next) next = entry.sent + maxInterval_;
  return next;
}

std::vector<Message> TopicStore::TakeDue(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point deadline = Clock::now() + wait;
  while (!dueAny_ && !woken_ && events_.empty()) {
    const Clock::time_point until = std::min(deadline, NextByAge());
    if (Clock::now() >= until) break;
    changed_.wait_until(lock, until);
  }
  woken_ = false;
  dueAny_ = false;
  std::vector<Message> due;
  const Clock::time_point now = Clock::now();
  for (auto& [topic, entry] : entries_) {
    if (!entry.due && now < entry.sent + maxInterval_) continue;
    entry.due = false;
    entry.sent = now;
    due.push_back({topic, entry.payload});
  }
  return due;
}

bool TopicStore::Event(const std::string& topic, const std::string& payload) {
  // A write's outcome matters to a client still waiting for it; one that
  // waited this long without a broker has given up.
  const size_t kMaxEvents = 256;
  std::lock_guard<std::mutex> lock(mutex_);
  const bool room = events_.size() < kMaxEvents;
  if (!room) events_.erase(events_.begin());
  events_.push_back({topic, payload});
  changed_.notify_all();
  return room;
}

std::vector<Message> TopicStore::TakeEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Message> taken;
  taken.swap(events_);
  return taken;
}

void TopicStore::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}

size_t TopicStore::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace velkd
