#include "core/gateway_config.h"

#include <mosquitto.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <toml++/toml.h>

#include "toml_reader.h"
#include "modbus/modbus_settings_reading.h"
#include "core/secret_file.h"

namespace velkd {
namespace {

using hostlib::LineOf;

// Poll intervals below this would only fill the line with one tag.
const int64_t kMinIntervalMs = 20;
const int64_t kMaxIntervalMs = 86400000;

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
}

// {name = interval} for the entries of one kind; an unknown name is a problem.
template <typename Find>
void ReadIntervals(hostlib::TomlReader& reader, const toml::node& node, const char* key, Find find,
                   std::vector<std::pair<int, uint32_t>>* out) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.Problem(LineOf(node), std::string(key) + " of [gateway] must be a table such as { name = 500 }");
    return;
  }
  for (auto&& [name, value] : *table) {
    const int index = find(std::string(name.str()));
    if (index < 0) {
      reader.Problem(LineOf(value),
                     std::string(key) + " names '" + std::string(name.str()) + "', which is not defined");
      continue;
    }
    int64_t ms = 0;
    if (reader.Integer(value, std::string(key) + " of '" + std::string(name.str()) + "'", kMinIntervalMs,
                       kMaxIntervalMs, &ms))
      out->push_back({index, static_cast<uint32_t>(ms)});
  }
}

void ReadGateway(hostlib::TomlReader& reader, const toml::table* table, LineSpec* line) {
  const hostlib::LineConfig& config = line->config;
  uint32_t lineMs = 1000;
  std::vector<std::pair<int, uint32_t>> devices, tags;
  line->writable.assign(config.tags.size(), false);
  if (table != nullptr) {
    reader.CheckKeys(*table, {"line", "interval_ms", "device_interval_ms", "tag_interval_ms", "writable"}, "[gateway]");
    reader.String(*table, "line", "[gateway]", &line->name);
    int64_t value = 0;
    if (const toml::node* node = table->get("interval_ms"))
      if (reader.Integer(*node, "interval_ms of [gateway]", kMinIntervalMs, kMaxIntervalMs, &value))
        lineMs = static_cast<uint32_t>(value);
    if (const toml::node* node = table->get("device_interval_ms"))
      ReadIntervals(
          reader, *node, "device_interval_ms", [&](const std::string& n) { return config.FindDevice(n); }, &devices);
    if (const toml::node* node = table->get("tag_interval_ms"))
      ReadIntervals(
          reader, *node, "tag_interval_ms", [&](const std::string& n) { return config.FindTag(n); }, &tags);
    if (const toml::node* node = table->get("writable")) {
      const toml::array* names = node->as_array();
      if (names == nullptr) reader.Problem(LineOf(*node), "writable of [gateway] must be a list of tag names");
      for (size_t i = 0; names != nullptr && i < names->size(); ++i) {
        const toml::node& entry = *names->get(i);
        const int tag = entry.is_string() ? config.FindTag(entry.as_string()->get()) : -1;
        if (!entry.is_string())
          reader.Problem(LineOf(entry), "writable of [gateway] must list tag names in quotes");
        else if (tag < 0)
          reader.Problem(LineOf(entry),
                         "writable names '" + entry.as_string()->get() + "', which is not a tag of this file");
        else
          line->writable[static_cast<size_t>(tag)] = true;
      }
    }
  }
  line->tagIntervalMs.assign(config.tags.size(), lineMs);
  for (const auto& [device, ms] : devices)
    for (size_t t = 0; t < config.tags.size(); ++t)
      if (config.tags[t].deviceIndex == static_cast<size_t>(device)) line->tagIntervalMs[t] = ms;
  for (const auto& [tag, ms] : tags) line->tagIntervalMs[static_cast<size_t>(tag)] = ms;
}

}  // namespace

bool MqttSettings::operator==(const MqttSettings& o) const {
  return broker == o.broker && tls == o.tls && host == o.host && port == o.port && caFile == o.caFile &&
         user == o.user && passwordFile == o.passwordFile && passwordEnv == o.passwordEnv && prefix == o.prefix &&
         maxIntervalS == o.maxIntervalS && homeAssistant == o.homeAssistant;
}

bool TopicLevelOk(const std::string& name) {
  if (name.empty() || name[0] == '$') return false;
  for (unsigned char c : name)
    if (c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F) return false;
  // The broker takes topics only in UTF-8.
  return mosquitto_validate_utf8(name.c_str(), static_cast<int>(name.size())) == MOSQ_ERR_SUCCESS;
}

bool ParseBrokerUrl(const std::string& url, MqttSettings* settings, std::string* error) {
  std::string rest;
  bool tls = false;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    tls = true;
  } else {
    *error = "broker '" + url + "' must start with mqtt:// or mqtts://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  int port = tls ? 8883 : 1883;
  std::string host = rest;
  // "[::1]:1883" keeps the colons of its address inside the brackets.
  const size_t close = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = rest.substr(0, colon);
    const std::string digits = rest.substr(colon + 1);
    char* end = nullptr;
    const long value = digits.empty() ? 0 : strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value < 1 || value > 65535) {
      *error = "broker '" + url + "': port '" + digits + "' is not a number from 1 to 65535";
      return false;
    }
    port = static_cast<int>(value);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || host.find_first_of("/@ ") != std::string::npos) {
    *error = "broker '" + url + "' has no host name (write mqtt://HOST:PORT; user and password go in [mqtt])";
    return false;
  }
  settings->broker = url;
  settings->tls = tls;
  settings->host = host;
  settings->port = port;
  return true;
}

bool LoadGatewayConfig(const std::vector<std::string>& paths, GatewayConfig* config,
                       std::vector<FileProblem>* problems) {
  const size_t before = problems->size();
  bool haveMqtt = false;
  int mqttFile = -1;
  int httpFile = -1;
  int storeFile = -1;
  for (size_t f = 0; f < paths.size(); ++f) {
    const std::string& path = paths[f];
    LineSpec line;
    std::vector<hostlib::ConfigProblem> lineProblems;
    const bool lineOk = hostlib::LoadLineConfig(path, &line.config, &lineProblems);
    for (const hostlib::ConfigProblem& p : lineProblems) problems->push_back({path, p.line, p.message});
    if (!lineOk && lineProblems.size() == 1 && line.config.devices.empty()) continue;  // unreadable
    std::vector<hostlib::ConfigProblem> found;
    hostlib::TomlReader reader(&found);
    {
      std::ifstream file(path, std::ios::binary);
      line.text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    toml::table root;
    try {
      root = toml::parse_file(path);
    } catch (const toml::parse_error&) {
      continue;  // already reported by the line file's reading
    }
    if (const toml::node* node = root.get("mqtt")) {
      if (const toml::table* table = node->as_table()) {
        MqttSettings mqtt;
        ReadMqtt(reader, *table, &mqtt);
        if (!haveMqtt) {
          config->mqtt = mqtt;
          haveMqtt = true;
          mqttFile = static_cast<int>(f);
        } else if (!(mqtt == config->mqtt)) {
          reader.Problem(LineOf(*node), "[mqtt] differs from the one in " + paths[static_cast<size_t>(mqttFile)] +
                                            "; one velkd talks to one broker");
        }
      } else {
        reader.Problem(LineOf(*node), "'mqtt' must be an [mqtt] section");
      }
    }
    if (const toml::node* node = root.get("http")) {
      HttpSettings http;
      std::vector<std::pair<int, std::string>> found;
      if (node->is_table())
        ReadHttpTable(*node->as_table(), &http, &found);
      else
        found.push_back({LineOf(*node), "'http' must be an [http] section"});
      for (const auto& [at, message] : found) reader.Problem(at, message);
      if (httpFile < 0) {
        config->http = http;
        httpFile = static_cast<int>(f);
      } else if (!(http == config->http)) {
        reader.Problem(LineOf(*node), "[http] differs from the one in " + paths[static_cast<size_t>(httpFile)] +
                                          "; one velkd serves one HTTP face");
      }
    }
    if (const toml::node* node = root.get("store")) {
      StoreSettings store;
      std::vector<std::pair<int, std::string>> found;
      if (node->is_table())
        ReadStoreTable(*node->as_table(), &store, &found);
      else
        found.push_back({LineOf(*node), "'store' must be a [store] section"});
      for (const auto& [at, message] : found) reader.Problem(at, message);
      if (storeFile < 0) {
        config->store = store;
        storeFile = static_cast<int>(f);
      } else if (!(store == config->store)) {
        reader.Problem(LineOf(*node), "[store] differs from the one in " + paths[static_cast<size_t>(storeFile)] +
                                          "; one velkd keeps one store");
      }
    }
    const toml::node* gateway = root.get("gateway");
    if (gateway != nullptr && !gateway->is_table())
      reader.Problem(LineOf(*gateway), "'gateway' must be a [gateway] section");
    ReadGateway(reader, gateway != nullptr ? gateway->as_table() : nullptr, &line);
    ReadModbusSettings(path, root, line.config, &line.modbus, problems);
    ReadTagUnits(path, root, line.config, line.writable, &line.units, problems);
    if (line.name.empty()) line.name = std::filesystem::path(path).stem().string();
    if (!TopicLevelOk(line.name))
      reader.Problem(0, "line name '" + line.name + "' cannot stand in a topic; set [gateway] line = \"NAME\"");
    if (line.config.devices.empty())
      reader.Problem(0, "no [[device]] entries: a line without devices has nothing to poll");
    for (const hostlib::DeviceEntry& device : line.config.devices)
      if (!device.name.empty() && !TopicLevelOk(device.name))
        reader.Problem(device.line,
                       "device name '" + device.name + "' cannot stand in a topic (no /, +, #, leading $)");
    for (const hostlib::TagEntry& tag : line.config.tags)
      if (!tag.name.empty() && (!TopicLevelOk(tag.name) || tag.name == "set"))
        reader.Problem(tag.line,
                       "tag name '" + tag.name + "' cannot stand in a topic (no /, +, #, leading $, not 'set')");
    for (const LineSpec& other : config->lines)
      if (other.name == line.name)
        reader.Problem(0, "line name '" + line.name + "' is used by " + other.config.path + " too");
    for (const hostlib::ConfigProblem& p : found) problems->push_back({path, p.line, p.message});
    config->lines.push_back(std::move(line));
  }
  config->useMqtt = haveMqtt;
  return problems->size() == before;
}

bool ReadPassword(const MqttSettings& settings, std::string* password, std::string* error) {
  password->clear();
  if (!settings.passwordEnv.empty()) {
    const char* value = getenv(settings.passwordEnv.c_str());
    if (value == nullptr) {
      *error = "the environment variable " + settings.passwordEnv + " named by password_env is not set";
      return false;
    }
    *password = value;
    return true;
  }
  return settings.passwordFile.empty() || ReadSecretFile("password_file", settings.passwordFile, password, error);
}

}  // namespace velkd
