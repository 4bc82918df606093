// The latest retained message of every topic velkd publishes, and which of
// them are due: changed since they were last sent, or unchanged for the
// longest interval allowed. Only the latest payload per topic is kept, so a
// broker that is away for hours costs no memory.
#ifndef VELKD_TOPIC_STORE_H
#define VELKD_TOPIC_STORE_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace velkd {

struct Message {
  std::string topic;
  std::string payload;
};

class TopicStore {
 public:
  typedef std::chrono::steady_clock Clock;

  explicit TopicStore(std::chrono::milliseconds maxInterval) : maxInterval_(maxInterval) {}

  // Sets the topic's payload. It is due at once when `key` (what counts as
  // a change: the value, not its time stamp) differs from the last one.
  void Set(const std::string& topic, const std::string& payload, const std::string& key);

  // Forgets every topic that starts with `prefix`; returns those of them
  // that were due, for a last send.
  std::vector<Message> Forget(const std::string& prefix);

  // Every topic becomes due: after a reconnect, the broker may have lost
  // what it retained.
  void MarkAllDue();
  // One topic is due again, when sending it failed.
  void MarkDue(const std::string& topic);

  // Waits up to `wait` for due topics (or an event) and returns them,
  // counted as sent.
  std::vector<Message> TakeDue(std::chrono::milliseconds wait);

  // A one-off message (a write's outcome), kept until taken; beyond a
  // bound the oldest are dropped (false).
  bool Event(const std::string& topic, const std::string& payload);
  std::vector<Message> TakeEvents();

  // Ends every wait of TakeDue at once.
  void Wake();

  size_t size() const;

 private:
  struct Entry {
    std::string payload;
    std::string key;
    bool due = true;
    Clock::time_point sent;
  };

  // The earliest time a topic becomes due by age; max() when none.
  Clock::time_point NextByAge() const;

  const std::chrono::milliseconds maxInterval_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Entry> entries_;
  std::vector<Message> events_;
  bool dueAny_ = false;
  bool woken_ = false;
};

}  // namespace velkd

#endif
