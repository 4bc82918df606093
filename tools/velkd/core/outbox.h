// Where a line's thread leaves its one-off MQTT messages (write outcomes),
// which go out only while the broker is there, and never before the
// retained state the line had when it left them. The retained state itself
// is read from the line's LineState by the publisher.
#ifndef VELKD_OUTBOX_H
#define VELKD_OUTBOX_H

#include <string>

namespace velkd {

class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual void Send(const std::string& topic, const std::string& payload) = 0;
};

}  // namespace velkd

#endif
