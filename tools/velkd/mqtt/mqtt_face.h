// velkd's MQTT face: its broker client, the store of retained topics and
// the thread that hands them to the broker, Home Assistant's discovery, and
// the routing of "set" messages to the gateway's one write path.
#ifndef VELKD_MQTT_FACE_H
#define VELKD_MQTT_FACE_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/face.h"
#include "core/gateway.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/topic_store.h"

namespace velkd {

class MqttFace : public Face {
 public:
  // `settings.on` false: the face does nothing.
  MqttFace(Lines& lines, const MqttSettings& settings);
  ~MqttFace() override;

  // Connects to the broker (in the background), tells Home Assistant of
  // every tag and publishes. False (logged) without the password named.
  bool Start() override;
  // Publishes every device's last state and the gateway offline, waits
  // (bounded) for the broker to take them and disconnects.
  void Stop() override;
  void Changed(const std::shared_ptr<const LineSnapshot>& snapshot) override;
  void LinesChanged(const Plant& now, const std::vector<std::shared_ptr<const LineSnapshot>>& gone) override;

  bool connected() const { return client_.connected(); }
  // Why it is not connected; empty when it is.
  std::string WhyNotConnected() const {
    return !mqtt_.on ? "no [mqtt] in the files and no --broker" : client_.WhyNotConnected();
  }
  // Whether a reload's [mqtt] would differ, which takes a restart.
  const MqttSettings& settings() const { return mqtt_; }

 private:
  void Announce(const Plant& plant);
  void Connected();
  void OnSetMessage(const std::string& topic, const std::string& payload, bool retained);
  // A write's outcome, through the publisher, after the line's state.
  void SendResult(const std::string& topic, const std::string& payload);
  void PublishLoop();
  // The snapshots published since the last call into the store, each of a
  // line still served.
  void SyncLines();

  Lines& lines_;
  const MqttSettings mqtt_;
  TopicStore store_;
  MqttClient client_;
  std::thread publisher_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  std::mutex pendingMutex_;
  // Per line: its latest snapshot, not yet in the store.
  std::map<std::string, std::shared_ptr<const LineSnapshot>> pending_;
  std::mutex syncMutex_;
  // Per line: the snapshot the store holds.
  std::map<std::string, std::shared_ptr<const LineSnapshot>> retained_;
};

}  // namespace velkd

#endif
