// Where a line's thread leaves what it publishes: retained state (values,
// device states), of which only the latest per topic is kept, and one-off
// events (write outcomes), which go out only while the broker is there.
#ifndef VELKD_OUTBOX_H
#define VELKD_OUTBOX_H

#include <string>

namespace velkd {

class Outbox {
 public:
  virtual ~Outbox() = default;
  // `key` is what counts as a change of the topic (see TopicStore::Set).
  virtual void Retain(const std::string& topic, const std::string& payload, const std::string& key) = 0;
  virtual void Send(const std::string& topic, const std::string& payload) = 0;
};

}  // namespace velkd

#endif
