// The edge node's own broker connection, through libmosquitto: a network
// thread that connects and reconnects with back-off, a fresh will (the
// NDEATH with the next bdSeq) registered before every try, the command and
// host-state subscriptions made before anything is published, and an
// orderly stop that sends the NDEATH itself before it disconnects.
#ifndef VELKD_SPARKPLUG_LINK_H
#define VELKD_SPARKPLUG_LINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sparkplug/sparkplug_settings.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace velkd::sparkplug {

class SparkplugLink {
 public:
  struct Handlers {
    // On the network thread, before every connection try: the will's
    // payload for that connection.
    std::function<std::string()> will;
    // On the network thread, once connected and subscribed.
    std::function<void()> connected;
    // On the network thread, when a connection ended.
    std::function<void()> lost;
    // On the network thread, for every message of a subscription.
    std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
    // On any thread: a failure to say, as a warning.
    std::function<void(const std::string& text)> warn;
  };

  SparkplugLink() = default;
  ~SparkplugLink();
  SparkplugLink(const SparkplugLink&) = delete;
  SparkplugLink& operator=(const SparkplugLink&) = delete;

  // Starts connecting in the background. False only for settings
  // libmosquitto refuses.
  bool Start(const BrokerSettings& broker, const std::string& password, const std::string& clientId,
             const std::string& willTopic, std::vector<std::string> subscriptions, Handlers handlers,
             std::string* error);

  // QoS 0, not retained, as births and data go. False when not connected.
  bool Publish(const std::string& topic, const std::string& payload);

  // Ends the connection cleanly (what was published before goes first, the
  // will is not sent) and connects again at once, with a new will.
  void Reconnect();

  // Publishes `payload` on `topic` at QoS 1 (the NDEATH), waits up to
  // `wait` for the broker to take it, then disconnects (the will is then
  // not sent) and ends the network thread.
  void Stop(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait);

  bool connected() const { return connected_; }

 private:
  static void OnConnect(mosquitto*, void* self, int rc, int flags, const ::mqtt5__property*);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  void Run();
  void End();

  mosquitto* mosq_ = nullptr;
  Handlers handlers_;
  std::string host_;
  int port_ = 0;
  std::string willTopic_;
  std::vector<std::string> subscriptions_;
  std::thread thread_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> madeIt_{false};
  std::atomic<bool> reconnecting_{false};  // an end asked for, to connect again
  std::atomic<bool> closing_{false};       // an end asked for, for good
  std::mutex mutex_;
  std::condition_variable signal_;
  int lastWordsMid_ = -1;  // under mutex_
  bool lastWordsSent_ = false;
};

}  // namespace velkd::sparkplug

#endif
