// The broker connection, through libmosquitto: its own network thread,
// re-connection with back-off (each failure logged with its cause and the
// next try), QoS 1 publishing, a last will, and a bound on
// what may wait unacknowledged so that a slow broker cannot grow memory.
#ifndef VELKD_MQTT_CLIENT_H
#define VELKD_MQTT_CLIENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "mqtt/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;

namespace velkd {

class MqttClient {
 public:
  struct Handlers {
    // On the network thread, after every successful connection.
    std::function<void()> connected;
    // On the network thread, for every message of a subscription.
    std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
    // On the network thread, when the broker acknowledged message `mid`.
    std::function<void(int mid)> published;
  };

  MqttClient();
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Starts connecting in the background with `willTopic` carrying
  // `willPayload` as the retained last will. A broker that is not there yet
  // is retried; false only for settings libmosquitto refuses.
  bool Start(const MqttSettings& settings, const std::string& password, const std::string& clientId,
             const std::string& willTopic, const std::string& willPayload, Handlers handlers, std::string* error);

  bool connected() const { return connected_; }
  // Why not, in words: the cause of the last failed try ("not reachable:
  // Connection refused"); empty while connected.
  std::string WhyNotConnected() const;
  // Connections the broker accepted since Start; a new one tells a
  // connection that was lost and made again between two looks.
  uint64_t connections() const { return connections_; }
  // A try to connect has failed since Start.
  bool failedOnce() const { return failedOnce_; }
  // Waits up to `wait` for a connection.
  bool WaitConnected(std::chrono::milliseconds wait);

  // QoS 1. False when not connected or too much is still unacknowledged:
  // the caller keeps the message and sends it later. `mid`, when given,
  // receives the message's id, which Handlers::published names again.
  bool Publish(const std::string& topic, const std::string& payload, bool retain, int* mid = nullptr);
  // QoS 1, retain-as-published.
  bool Subscribe(const std::string& pattern);

  // Waits up to `wait` until the broker acknowledged everything published.
  bool Flush(std::chrono::milliseconds wait);

  // Disconnects cleanly (the will is not sent) and ends the network thread.
  void Stop();

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnLog(mosquitto*, void* self, int level, const char* text);
  // Connects, serves the connection until it ends, waits and tries again.
  void Run(const std::string& host, int port);
  // Why the connection ended or never began, in words.
  std::string FailureCause(int rc, int error) const;

  mosquitto* mosq_ = nullptr;
  Handlers handlers_;
  std::string endpoint_;
  std::atomic<bool> connected_{false};
  bool started_ = false;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> madeIt_{false};  // connected since the last failure
  std::atomic<uint64_t> connections_{0};
  std::atomic<bool> failedOnce_{false};
  mutable std::mutex mutex_;
  std::condition_variable signal_;
  long unacknowledged_ = 0;
  // Of the current try, under mutex_.
  std::string tlsError_;
  int connack_ = 0;
  int lostErrno_ = 0;
  std::string lastCause_;  // of the last try that failed, under mutex_
};

}  // namespace velkd

#endif
