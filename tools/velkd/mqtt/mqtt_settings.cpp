#include "mqtt/mqtt_settings.h"

#include <initializer_list>
#include <sstream>

#include "core/broker_url.h"
#include "core/secret_file.h"
#include "toml_reader.h"

namespace velkd {
namespace {

using hostlib::LineOf;

void ReadMqtt(hostlib::TomlReader& reader, const toml::table& table, MqttSettings* mqtt) {
  reader.CheckKeys(
      table,
      {"broker", "ca_file", "user", "password_file", "password_env", "prefix", "max_interval_s", "homeassistant"},
      "[mqtt]");
  std::string broker;
  reader.String(table, "broker", "[mqtt]", &broker);
  if (!broker.empty()) {
    std::string error;
    if (!ParseBrokerUrl(broker, mqtt, &error)) reader.Problem(LineOf(*table.get("broker")), error);
  }
  reader.String(table, "ca_file", "[mqtt]", &mqtt->caFile);
  reader.String(table, "user", "[mqtt]", &mqtt->user);
  reader.String(table, "password_file", "[mqtt]", &mqtt->passwordFile);
  reader.String(table, "password_env", "[mqtt]", &mqtt->passwordEnv);
  if (!mqtt->passwordFile.empty() && !mqtt->passwordEnv.empty())
    reader.Problem(LineOf(table), "[mqtt] names both password_file and password_env; keep one");
  reader.String(table, "prefix", "[mqtt]", &mqtt->prefix);
  // The prefix may have several levels ("site/velk"), each a plain name.
  std::stringstream levels(mqtt->prefix);
  std::string level;
  bool prefixOk = !mqtt->prefix.empty() && mqtt->prefix.back() != '/';
  while (std::getline(levels, level, '/')) prefixOk = prefixOk && TopicLevelOk(level);
  if (!prefixOk)
    reader.Problem(table.get("prefix") ? LineOf(*table.get("prefix")) : LineOf(table),
                   "prefix '" + mqtt->prefix + "' is not a topic: levels may not be empty or hold +, # or a leading $");
  int64_t value = 0;
  if (const toml::node* node = table.get("max_interval_s"))
    if (reader.Integer(*node, "max_interval_s of [mqtt]", 1, 86400, &value))
      mqtt->maxIntervalS = static_cast<uint32_t>(value);
  reader.Boolean(table, "homeassistant", "homeassistant of [mqtt]", &mqtt->homeAssistant);
  if (!mqtt->caFile.empty() && !mqtt->tls)
    reader.Problem(LineOf(table), "ca_file is only used with an mqtts:// broker");
  for (const char* key : {"ca_file", "password_file"}) {
    const toml::node* node = table.get(key);
    std::string error;
    if (node != nullptr && node->is_string() && !NamedFileReadable(key, node->as_string()->get(), &error))
      reader.Problem(LineOf(*node), error);
  }
}

}  // namespace

bool MqttSettings::operator==(const MqttSettings& o) const {
  return broker == o.broker && tls == o.tls && host == o.host && port == o.port && caFile == o.caFile &&
         user == o.user && passwordFile == o.passwordFile && passwordEnv == o.passwordEnv && prefix == o.prefix &&
         maxIntervalS == o.maxIntervalS && homeAssistant == o.homeAssistant;
}

void MqttSections::Read(size_t, const LineFile& lineFile, const toml::table& root, std::vector<FileProblem>* problems) {
  const toml::node* node = root.get("mqtt");
  if (node == nullptr) return;
  std::vector<hostlib::ConfigProblem> found;
  hostlib::TomlReader reader(&found);
  if (const toml::table* table = node->as_table()) {
    MqttSettings mqtt;
    mqtt.on = true;
    ReadMqtt(reader, *table, &mqtt);
    if (from_.empty()) {
      *settings_ = mqtt;
      from_ = lineFile.config.path;
    } else if (!(mqtt == *settings_)) {
      reader.Problem(LineOf(*node), "[mqtt] differs from the one in " + from_ + "; one velkd talks to one broker");
    }
  } else {
    reader.Problem(LineOf(*node), "'mqtt' must be an [mqtt] section");
  }
  for (const hostlib::ConfigProblem& p : found) problems->push_back({lineFile.config.path, p.line, p.message});
}

bool ParseBrokerUrl(const std::string& url, MqttSettings* settings, std::string* error) {
  BrokerAddress address;
  if (!ParseBrokerAddress(url, &address, error)) return false;
  settings->broker = url;
  settings->tls = address.tls;
  settings->host = address.host;
  settings->port = address.port;
  return true;
}

bool ReadPassword(const MqttSettings& settings, std::string* password, std::string* error) {
  return ReadPasswordFrom(settings.passwordEnv, settings.passwordFile, password, error);
}

}  // namespace velkd
