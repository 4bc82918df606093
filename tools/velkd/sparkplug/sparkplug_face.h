// velkd's Sparkplug B face: one edge node over every line, with a device per
// module. It keeps its own broker connection (SparkplugLink) and its own
// thread, which reads each line's latest snapshot when told of a new one and
// turns it into births, data and deaths; commands come in on the link's
// thread and writes go to the one write path, their confirmed values coming
// back through the snapshots as data.
//
// The edge node counts `seq` as it makes each message, so every call into it
// and every publish happen under one lock: what reaches the broker is in
// the order counted.
#ifndef VELKD_SPARKPLUG_FACE_H
#define VELKD_SPARKPLUG_FACE_H

#include <stdint.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/face.h"
#include "core/gateway.h"
#include "sparkplug/birth_death_sequence.h"
#include "sparkplug/edge_node.h"
#include "sparkplug/sparkplug_link.h"
#include "sparkplug/sparkplug_settings.h"

namespace velkd {

class SparkplugFace : public Face {
 public:
  // `settings.on` false: the face does nothing. `settings.broker` is the
  // broker to use, [mqtt]'s copied in when [sparkplug] names none.
  SparkplugFace(Lines& lines, const sparkplug::SparkplugSettings& settings);
  ~SparkplugFace() override;

  // Connects in the background; the births go out once connected (and, with
  // a primary host, once it is online). False (logged) when the password
  // cannot be read or the broker settings are refused.
  bool Start() override;
  // The NDEATH, then the disconnect.
  void Stop() override;
  void Changed(const std::shared_ptr<const LineSnapshot>& snapshot) override;
  void LinesChanged(const Plant& now, const std::vector<std::shared_ptr<const LineSnapshot>>& gone) override;

  bool connected() const { return link_.connected(); }
  const sparkplug::SparkplugSettings& settings() const { return settings_; }

 private:
  // Where a Sparkplug device's data is: its line in the plant, and the line
  // file's tag of each of its metrics.
  struct Place {
    size_t line = 0;
    std::string lineName;
    size_t device = 0;
    std::vector<size_t> tags;
  };

  // The node and its devices as `plant` has them; fills places_.
  void Describe(const Plant& plant, sparkplug::NodeFacts* node, std::vector<sparkplug::DeviceFacts>* devices);
  // With mutex_ held: every line whose snapshot is new (`all`: every line)
  // into the edge node, and what it says to publish.
  void ObserveLines(bool all);
  void Publish(const std::vector<sparkplug::Outgoing>& messages);
  void Run();
  void OnMessage(const std::string& topic, const std::string& payload, bool retained);
  // Outside mutex_: the writes a command asked for, through Lines::Write.
  struct Order {
    std::string line;
    std::string device;
    std::string metric;
    TagWrite write;
  };
  void Carry(const std::vector<Order>& orders);

  Lines& lines_;
  const sparkplug::SparkplugSettings settings_;
  sparkplug::SparkplugLink link_;
  bool started_ = false;

  std::mutex mutex_;  // everything below but the wake-up's
  std::unique_ptr<sparkplug::EdgeNode> node_;
  sparkplug::BirthDeathSequence bdSeq_;
  uint64_t willBdSeq_ = 0;
  std::shared_ptr<const Plant> plant_;  // the plant places_ describes
  std::vector<Place> places_;           // per Sparkplug device
  std::vector<sparkplug::DeviceFacts> facts_;
  std::vector<uint64_t> seen_;  // per line of plant_: the snapshot observed last

  std::thread thread_;
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool due_ = false;       // under wakeMutex_
  bool stopping_ = false;  // under wakeMutex_
};

}  // namespace velkd

#endif
