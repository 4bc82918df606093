// velkd's MQTT face: its broker client, the store of retained topics and
// the thread that hands them to the broker, Home Assistant's discovery, and
// the routing of "set" messages to the gateway's one write path. While the
// broker is away the core's store keeps every change (the stream "mqtt");
// after the reconnect the publisher sends it between the live messages.
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
#include "core/store_face.h"
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
  // The broker is away (no connection, a message refused): the core's
  // store keeps what changed since the last turn that was sent whole.
  void GoAway();
  // A turn of stored records; true while there are more to send.
  bool ForwardHistory();
  // A write's outcome that cannot be sent now: stored, else logged.
  void KeepOutcome(const std::string& topic, const std::string& payload);

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
  // The snapshots put in the topic store since the last turn (under
  // syncMutex_), and per line the one of the last turn sent whole.
  std::vector<std::shared_ptr<const LineSnapshot>> justSynced_;
  std::map<std::string, std::shared_ptr<const LineSnapshot>> delivered_;
  StoreFace* const storeFace_;
  Forwarder* forwarder_ = nullptr;  // null without a store
  bool away_ = false;               // the publisher's: the store keeps the changes
  // History is out or waiting: only then do acknowledgements go to the
  // forwarder, so that a healthy broker's path queues nothing there.
  std::atomic<bool> forwarding_{false};
};

}  // namespace velkd

#endif
