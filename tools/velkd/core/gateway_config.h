// What velkd serves, read from the line files velkhost reads: each file's
// line (port, devices, tags) plus two tables of its own. [mqtt] names the
// broker and the topic prefix; [gateway] names the line in topics, its poll
// intervals and the tags that may be written.
//
//   [mqtt]
//   broker = "mqtt://127.0.0.1:1883"    # or mqtts://HOST:PORT with TLS
//   ca_file = "/etc/ssl/certs/ca-certificates.crt"   # mqtts only
//   user = "velkd"
//   password_file = "/etc/velk4000/velkd.password"   # or password_env = "VELKD_PASSWORD"
//   prefix = "velk"
//   max_interval_s = 60                 # republish unchanged values this often
//   homeassistant = false               # discovery topics
//
//   [gateway]
//   line = "bus1"                       # the line's topic level (default: file name)
//   interval_ms = 1000                  # every tag's poll interval ...
//   device_interval_ms = { thermo = 5000 }   # ... unless its device ...
//   tag_interval_ms = { pressure = 250 }     # ... or the tag names another
//   writable = ["relay3", "valve_position"]
//
// [modbus] and the devices' and tags' Modbus keys: modbus_settings.h.
// [store], where readings wait while the broker is away: store_settings.h.
#ifndef VELKD_GATEWAY_CONFIG_H
#define VELKD_GATEWAY_CONFIG_H

#include <stdint.h>

#include <string>
#include <vector>

#include "http/http_settings.h"
#include "line_config.h"
#include "modbus/modbus_settings.h"
#include "core/tag_units.h"
#include "store/store_settings.h"

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

  bool operator==(const MqttSettings& other) const;
};

struct LineSpec {
  hostlib::LineConfig config;
  std::string name;                     // the line's topic level
  std::vector<uint32_t> tagIntervalMs;  // per tag of config.tags
  std::vector<bool> writable;           // per tag of config.tags
  std::string text;                     // the file as read: a reload keeps an unchanged line
  ModbusLineSettings modbus;
  std::vector<TagUnits> units;  // per tag of config.tags
};

struct GatewayConfig {
  MqttSettings mqtt;
  bool useMqtt = false;  // a file has [mqtt] or the command line names a broker
  HttpSettings http;     // [http]: metrics and the live page
  StoreSettings store;   // [store]: readings kept while the broker is away
  std::vector<LineSpec> lines;
};

// A finding in one of the files (line 0: the file as a whole).
struct FileProblem {
  std::string path;
  int line = 0;
  std::string message;
};

// Splits "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" into `settings`.
bool ParseBrokerUrl(const std::string& url, MqttSettings* settings, std::string* error);

// Reads every file. The first file with an [mqtt] table sets the broker; a
// later one that says otherwise is a problem ([http] likewise). Returns false when anything
// is wrong; every problem found is appended.
bool LoadGatewayConfig(const std::vector<std::string>& paths, GatewayConfig* config,
                       std::vector<FileProblem>* problems);

// The broker password from the file or the environment variable the
// settings name; empty when they name neither. False with a reason when the
// named source is missing.
bool ReadPassword(const MqttSettings& settings, std::string* password, std::string* error);

// True when `name` can stand as one topic level: UTF-8, not empty, no '/',
// '+', '#' or control characters, not starting with '$'.
bool TopicLevelOk(const std::string& name);

}  // namespace velkd

#endif
