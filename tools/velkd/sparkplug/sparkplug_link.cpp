#include "sparkplug/sparkplug_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>

#include <algorithm>

namespace velkd::sparkplug {
namespace {

const int kFirstRetryS = 1;
const int kLastRetryS = 30;
const int kKeepAliveS = 30;

}  // namespace

SparkplugLink::~SparkplugLink() { End(); }

bool SparkplugLink::Start(const BrokerSettings& broker, const std::string& password, const std::string& clientId,
                          const std::string& willTopic, std::vector<std::string> subscriptions, Handlers handlers,
                          std::string* error) {
  handlers_ = std::move(handlers);
  host_ = broker.host;
  port_ = broker.port;
  willTopic_ = willTopic;
  subscriptions_ = std::move(subscriptions);
  // A clean session: Sparkplug wants no commands kept for a node while
  // it is away.
  mosq_ = mosquitto_new(clientId.c_str(), true, this);
  if (mosq_ == nullptr) {
    *error = "cannot create the MQTT client";
    return false;
  }
  // MQTT 5 for retain-as-published: a command published with retain while
  // the node is connected still shows it, and is ignored like a stored one.
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_v5_callback_set(mosq_, OnConnect);
  mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
  mosquitto_publish_callback_set(mosq_, OnPublish);
  mosquitto_message_callback_set(mosq_, OnMessage);
  int rc = MOSQ_ERR_SUCCESS;
  if (!broker.user.empty())
    rc = mosquitto_username_pw_set(mosq_, broker.user.c_str(), password.empty() ? nullptr : password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && broker.tls)
    rc = broker.caFile.empty() ? mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                               : mosquitto_tls_set(mosq_, broker.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("MQTT settings refused: ") + mosquitto_strerror(rc);
    End();
    return false;
  }
  mosquitto_threaded_set(mosq_, true);
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SparkplugLink::Run() {
  // Named, so that its CPU can be told from the other faces' (top -H, the bench).
  pthread_setname_np(pthread_self(), "sparkplug-net");
  int delay = kFirstRetryS;
  for (bool first = true; !stopping_; first = false) {
    // Each connection registers the NDEATH of its own bdSeq.
    const std::string will = handlers_.will();
    int rc = mosquitto_will_set(mosq_, willTopic_.c_str(), static_cast<int>(will.size()), will.data(), 1, false);
    if (rc == MOSQ_ERR_SUCCESS)
      rc = first ? mosquitto_connect_async(mosq_, host_.c_str(), port_, kKeepAliveS) : mosquitto_reconnect_async(mosq_);
    while (rc == MOSQ_ERR_SUCCESS && !stopping_) rc = mosquitto_loop(mosq_, 1000, 1);
    if (stopping_) break;
    if (closing_) {
      std::unique_lock<std::mutex> lock(mutex_);
      signal_.wait(lock, [this] { return stopping_.load(); });
      break;
    }
    if (reconnecting_.exchange(false)) continue;
    if (madeIt_.exchange(false)) delay = kFirstRetryS;
    if (handlers_.warn)
      handlers_.warn("Sparkplug broker " + host_ + ":" + std::to_string(port_) + ": " + mosquitto_strerror(rc) +
                     "; next try in " + std::to_string(delay) + " s");
    std::unique_lock<std::mutex> lock(mutex_);
    signal_.wait_for(lock, std::chrono::seconds(delay), [this] { return stopping_.load(); });
    delay = std::min(delay * 2, kLastRetryS);
  }
}

bool SparkplugLink::Publish(const std::string& topic, const std::string& payload) {
  return connected_ && mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), 0, false) == MOSQ_ERR_SUCCESS;
}

void SparkplugLink::Reconnect() {
  if (mosq_ == nullptr || !connected_) return;
  reconnecting_ = true;
  mosquitto_disconnect(mosq_);
}

void SparkplugLink::Stop(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait) {
  if (mosq_ == nullptr) return;
  if (connected_) {
    std::unique_lock<std::mutex> lock(mutex_);
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false) ==
        MOSQ_ERR_SUCCESS) {
      lastWordsMid_ = mid;
      signal_.wait_for(lock, wait, [this] { return lastWordsSent_ || !connected_; });
    }
  }
  End();
}

void SparkplugLink::End() {
  if (mosq_ == nullptr) return;
  if (thread_.joinable()) {
    // The network thread runs until the DISCONNECT is on the wire: a
    // socket closed without it makes the broker send the will, a second
    // NDEATH after the one a stop sent.
    closing_ = true;
    mosquitto_disconnect(mosq_);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      signal_.wait_for(lock, std::chrono::seconds(2), [this] { return !connected_; });
      stopping_ = true;
    }
    signal_.notify_all();
    thread_.join();
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  connected_ = false;
}

void SparkplugLink::OnConnect(mosquitto* mosq, void* context, int rc, int, const ::mqtt5__property*) {
  SparkplugLink* self = static_cast<SparkplugLink*>(context);
  if (rc != 0) {
    if (self->handlers_.warn)
      self->handlers_.warn("Sparkplug broker " + self->host_ + ":" + std::to_string(self->port_) +
                           " refused the connection: " + mosquitto_reason_string(rc));
    return;
  }
  self->madeIt_ = true;
  // Subscribed before the births: a command or the host's state sent in
  // answer to them must find the subscription in place.
  for (const std::string& topic : self->subscriptions_)
    mosquitto_subscribe_v5(mosq, nullptr, topic.c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
  self->connected_ = true;
  if (self->handlers_.connected) self->handlers_.connected();
}

void SparkplugLink::OnDisconnect(mosquitto*, void* context, int) {
  SparkplugLink* self = static_cast<SparkplugLink*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->connected_ = false;
  }
  self->signal_.notify_all();
  if (self->handlers_.lost) self->handlers_.lost();
}

void SparkplugLink::OnPublish(mosquitto*, void* context, int mid) {
  SparkplugLink* self = static_cast<SparkplugLink*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (mid != self->lastWordsMid_) return;
    self->lastWordsSent_ = true;
  }
  self->signal_.notify_all();
}

void SparkplugLink::OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
  SparkplugLink* self = static_cast<SparkplugLink*>(context);
  if (!self->handlers_.message || message->topic == nullptr) return;
  const std::string payload = message->payloadlen > 0 ? std::string(static_cast<const char*>(message->payload),
                                                                    static_cast<size_t>(message->payloadlen))
                                                      : std::string();
  self->handlers_.message(message->topic, payload, message->retain);
}

}  // namespace velkd::sparkplug
