#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "journal_log.h"

namespace velkd {
namespace {

// QoS 1 messages the broker has not yet acknowledged; beyond this, topics
// wait in the store (one payload each) instead of in the library's queue.
const long kMaxUnacknowledged = 2000;

}  // namespace

MqttClient::MqttClient() = default;

MqttClient::~MqttClient() { Stop(); }

bool MqttClient::Start(const MqttSettings& settings, const std::string& password, const std::string& clientId,
                       const std::string& willTopic, const std::string& willPayload, Handlers handlers,
                       std::string* error) {
  handlers_ = std::move(handlers);
  endpoint_ = settings.host + ":" + std::to_string(settings.port);
  mosq_ = mosquitto_new(clientId.c_str(), true, this);
  if (mosq_ == nullptr) {
    *error = "cannot create the MQTT client";
    return false;
  }
  // MQTT 5, for retain-as-published: a retained "set" published while velkd
  // is connected arrives with its retain flag, and is refused like one
  // that was stored before.
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_callback_set(mosq_, OnConnect);
  mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
  mosquitto_publish_callback_set(mosq_, OnPublish);
  mosquitto_message_callback_set(mosq_, OnMessage);
  mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
  int rc = mosquitto_will_set(mosq_, willTopic.c_str(), static_cast<int>(willPayload.size()), willPayload.data(), 1,
                              true);
  if (rc == MOSQ_ERR_SUCCESS && !settings.user.empty())
    rc = mosquitto_username_pw_set(mosq_, settings.user.c_str(), password.empty() ? nullptr : password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
    // Without a CA file, the system's certificate store vouches for the broker.
    rc = settings.caFile.empty() ? mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                                 : mosquitto_tls_set(mosq_, settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("MQTT settings refused: ") + mosquitto_strerror(rc);
    return false;
  }
  rc = mosquitto_connect_async(mosq_, settings.host.c_str(), settings.port, 30);
  if (rc != MOSQ_ERR_SUCCESS)
    Log(kWarning, "broker %s: %s; retrying in the background", endpoint_.c_str(),
        rc == MOSQ_ERR_ERRNO ? "not reachable" : mosquitto_strerror(rc));
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(rc);
    return false;
  }
  started_ = true;
  return true;
}

bool MqttClient::WaitConnected(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return signal_.wait_for(lock, wait, [this] { return connected_.load(); });
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, bool retain) {
  if (!connected_ || mosq_ == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unacknowledged_ >= kMaxUnacknowledged) return false;
    ++unacknowledged_;
  }
  const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                   retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard<std::mutex> lock(mutex_);
    --unacknowledged_;
    return false;
  }
  return true;
}

bool MqttClient::Subscribe(const std::string& pattern) {
  return mosq_ != nullptr && mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                                                    nullptr) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::Flush(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return signal_.wait_for(lock, wait, [this] { return unacknowledged_ <= 0 || !connected_; }) && unacknowledged_ <= 0;
}

void MqttClient::Stop() {
  if (mosq_ == nullptr) return;
  if (started_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    started_ = false;
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  connected_ = false;
}

void MqttClient::OnConnect(mosquitto*, void* context, int rc) {
  MqttClient* self = static_cast<MqttClient*>(context);
  if (rc != 0) {
    Log(kWarning, "broker %s refused the connection: %s", self->endpoint_.c_str(), mosquitto_connack_string(rc));
    return;
  }
  Log(kNotice, "connected to broker %s", self->endpoint_.c_str());
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    // What was in flight on the old connection is sent again in full.
    self->unacknowledged_ = 0;
    self->connected_ = true;
  }
  self->signal_.notify_all();
  if (self->handlers_.connected) self->handlers_.connected();
}

void MqttClient::OnDisconnect(mosquitto*, void* context, int rc) {
  MqttClient* self = static_cast<MqttClient*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->connected_ = false;
  }
  self->signal_.notify_all();
  if (rc != 0) Log(kWarning, "lost broker %s; re-connecting with back-off", self->endpoint_.c_str());
}

void MqttClient::OnPublish(mosquitto*, void* context, int) {
  MqttClient* self = static_cast<MqttClient*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->unacknowledged_ > 0) --self->unacknowledged_;
  }
  self->signal_.notify_all();
}

void MqttClient::OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
  MqttClient* self = static_cast<MqttClient*>(context);
  if (!self->handlers_.message || message->topic == nullptr) return;
  const std::string payload = message->payloadlen > 0
                                  ? std::string(static_cast<const char*>(message->payload),
                                                static_cast<size_t>(message->payloadlen))
                                  : std::string();
  self->handlers_.message(message->topic, payload, message->retain);
}

}  // namespace velkd
