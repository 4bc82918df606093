#include "mqtt/mqtt_client.h"

#include <errno.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <string.h>

#include <algorithm>

#include "core/journal_log.h"
#include "outcome_text.h"

namespace velkd {
namespace {

// QoS 1 messages the broker has not yet acknowledged; beyond this, topics
// wait in the store (one payload each) instead of in the library's queue.
const long kMaxUnacknowledged = 2000;
// Seconds between tries: doubled after each failure up to the last.
const int kFirstRetryS = 1;
const int kLastRetryS = 30;
const int kKeepAliveS = 30;

}  // namespace

std::string MqttClient::WhyNotConnected() const {
  if (connected_) return std::string();
  std::lock_guard<std::mutex> lock(mutex_);
  return lastCause_.empty() ? "connecting to " + endpoint_ : lastCause_;
}

std::string MqttClient::FailureCause(int rc, int error) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!tlsError_.empty()) return "TLS: " + tlsError_;
  if (connack_ != 0) {
    // An MQTT 5 broker answers with a reason code (135 "Not authorized"),
    // an MQTT 3.1.1 one with a CONNACK code (5 "not authorised").
    std::string said = connack_ >= 128 ? mosquitto_reason_string(connack_) : mosquitto_connack_string(connack_);
    if (!said.empty() && said.back() == '.') said.pop_back();
    return "refused by the broker: " + said;
  }
  switch (rc) {
    case MOSQ_ERR_ERRNO: return error == 0 ? "not reachable" : std::string("not reachable: ") + strerror(error);
    case MOSQ_ERR_EAI: return "not reachable: the name does not resolve";
    case MOSQ_ERR_TLS: return "TLS failed";
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_CONN_REFUSED: return std::string("refused by the broker: ") + mosquitto_strerror(rc);
    case MOSQ_ERR_KEEPALIVE: return "no answer within the keep-alive";
    default: return std::string("connection lost: ") + mosquitto_strerror(rc);
  }
}

void MqttClient::Run(const std::string& host, int port) {
  int delay = kFirstRetryS;
  for (bool first = true; !stopping_; first = false) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tlsError_.clear();
      connack_ = 0;
      lostErrno_ = 0;
    }
    errno = 0;
    int rc = first ? mosquitto_connect_async(mosq_, host.c_str(), port, kKeepAliveS) : mosquitto_reconnect_async(mosq_);
    int error = errno;
    while (rc == MOSQ_ERR_SUCCESS && !stopping_) {
      rc = mosquitto_loop(mosq_, 1000, 1);
      error = errno;
    }
    if (stopping_) break;
    failedOnce_ = true;
    if (madeIt_.exchange(false)) delay = kFirstRetryS;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (error == 0) error = lostErrno_;
    }
    const std::string cause = FailureCause(rc, error);
    Log(kWarning, "broker %s: %s", endpoint_.c_str(),
        hostlib::JoinClauses(cause, "next try in " + std::to_string(delay) + " s").c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    lastCause_ = cause;
    signal_.wait_for(lock, std::chrono::seconds(delay), [this] { return stopping_.load(); });
    delay = std::min(delay * 2, kLastRetryS);
  }
}

void MqttClient::OnLog(mosquitto*, void* context, int level, const char* text) {
  MqttClient* self = static_cast<MqttClient*>(context);
  // libmosquitto names a TLS failure only here ("OpenSSL Error[0]:
  // error:0A000086:SSL routines::certificate verify failed"): the last
  // part is what a person can act on.
  if (level != MOSQ_LOG_ERR || text == nullptr || strstr(text, "OpenSSL Error") == nullptr) return;
  const char* last = strrchr(text, ':');
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (self->tlsError_.empty()) self->tlsError_ = last != nullptr && last[1] != '\0' ? last + 1 : text;
}

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
  int rc =
      mosquitto_will_set(mosq_, willTopic.c_str(), static_cast<int>(willPayload.size()), willPayload.data(), 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings.user.empty())
    rc = mosquitto_username_pw_set(mosq_, settings.user.c_str(), password.empty() ? nullptr : password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
    // Without a CA file, the system's certificate store vouches for the broker.
    rc = settings.caFile.empty()
             ? mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
             : mosquitto_tls_set(mosq_, settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("MQTT settings refused: ") + mosquitto_strerror(rc);
    return false;
  }
  mosquitto_threaded_set(mosq_, true);
  mosquitto_log_callback_set(mosq_, OnLog);
  stopping_ = false;
  thread_ = std::thread([this, host = settings.host, port = settings.port] { Run(host, port); });
  started_ = true;
  return true;
}

bool MqttClient::WaitConnected(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return signal_.wait_for(lock, wait, [this] { return connected_.load(); });
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, bool retain, int* mid) {
  if (!connected_ || mosq_ == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unacknowledged_ >= kMaxUnacknowledged) return false;
    ++unacknowledged_;
  }
  const int rc =
      mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard<std::mutex> lock(mutex_);
    --unacknowledged_;
    return false;
  }
  return true;
}

bool MqttClient::Subscribe(const std::string& pattern) {
  return mosq_ != nullptr && mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), 1,
                                                    MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::Flush(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return signal_.wait_for(lock, wait, [this] { return unacknowledged_ <= 0 || !connected_; }) && unacknowledged_ <= 0;
}

void MqttClient::Stop() {
  if (mosq_ == nullptr) return;
  if (started_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    signal_.notify_all();
    mosquitto_disconnect(mosq_);
    thread_.join();
    started_ = false;
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  connected_ = false;
}

void MqttClient::OnConnect(mosquitto*, void* context, int rc) {
  MqttClient* self = static_cast<MqttClient*>(context);
  if (rc != 0) {
    // Said with the next try, when the connection has ended.
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->connack_ = rc;
    return;
  }
  Log(kNotice, "connected to broker %s", self->endpoint_.c_str());
  self->madeIt_ = true;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    // What was in flight on the old connection is sent again in full.
    self->unacknowledged_ = 0;
    self->connected_ = true;
    ++self->connections_;
  }
  self->signal_.notify_all();
  if (self->handlers_.connected) self->handlers_.connected();
}

void MqttClient::OnDisconnect(mosquitto*, void* context, int) {
  const int error = errno;  // why the socket failed, before anything else runs
  MqttClient* self = static_cast<MqttClient*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->connected_ = false;
    self->lostErrno_ = error;
  }
  self->signal_.notify_all();
}

void MqttClient::OnPublish(mosquitto*, void* context, int mid) {
  MqttClient* self = static_cast<MqttClient*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->unacknowledged_ > 0) --self->unacknowledged_;
  }
  self->signal_.notify_all();
  if (self->handlers_.published) self->handlers_.published(mid);
}

void MqttClient::OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
  MqttClient* self = static_cast<MqttClient*>(context);
  if (!self->handlers_.message || message->topic == nullptr) return;
  const std::string payload = message->payloadlen > 0 ? std::string(static_cast<const char*>(message->payload),
                                                                    static_cast<size_t>(message->payloadlen))
                                                      : std::string();
  self->handlers_.message(message->topic, payload, message->retain);
}

}  // namespace velkd
