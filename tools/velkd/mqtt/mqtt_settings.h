// The [mqtt] table of a line file and --broker: the broker, the topic prefix
// and what Home Assistant is told.
//
//   [mqtt]
//   broker = "mqtt://127.0.0.1:1883"    # or mqtts://HOST:PORT with TLS
//   ca_file = "/etc/ssl/certs/ca-certificates.crt"   # mqtts only
//   user = "velkd"
//   password_file = "/etc/velk4000/velkd.password"   # or password_env = "VELKD_PASSWORD"
//   prefix = "velk"
//   max_interval_s = 60                 # republish unchanged values this often
//   homeassistant = false               # discovery topics
#ifndef VELKD_MQTT_SETTINGS_H
#define VELKD_MQTT_SETTINGS_H

#include <stdint.h>

#include <string>

#include "core/gateway_config.h"

namespace velkd {

struct MqttSettings {
  std::string broker = "mqtt://127.0.0.1:1883";
  bool tls = false;
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string caFile;
  std::string user;
  std::string passwordFile;
  std::string passwordEnv;
  std::string prefix = "velk";
  uint32_t maxIntervalS = 60;
  bool homeAssistant = false;
  bool on = false;  // a file has [mqtt] or the command line names a broker

  bool operator==(const MqttSettings& other) const;
};

// The first file with an [mqtt] table sets the broker; a later one that
// says otherwise is a problem.
class MqttSections : public FileSections {
 public:
  explicit MqttSections(MqttSettings* settings) : settings_(settings) {}
  void Read(size_t line, const LineFile& lineFile, const toml::table& root,
            std::vector<FileProblem>* problems) override;

 private:
  MqttSettings* settings_;
  std::string from_;  // the file that set it
};

// Splits "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" into `settings`.
bool ParseBrokerUrl(const std::string& url, MqttSettings* settings, std::string* error);

// The broker password from the file or the environment variable the
// settings name; empty when they name neither. False with a reason when the
// named source is missing.
bool ReadPassword(const MqttSettings& settings, std::string* password, std::string* error);

}  // namespace velkd

#endif
