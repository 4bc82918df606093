#include "sparkplug/sparkplug_settings.h"

#include <mosquitto.h>

#include "core/broker_url.h"

namespace velkd::sparkplug {
namespace {

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

const char* const kKeys[] = {"group_id", "edge_node_id", "primary_host_id", "bdseq_file",  "broker",
                             "ca_file",  "user",         "password_file",   "password_env"};

// One level of a Sparkplug topic: UTF-8, not empty, none of / + #.
bool IdOk(const std::string& id) {
  if (id.empty()) return false;
  for (unsigned char c : id)
    if (c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F) return false;
  return mosquitto_validate_utf8(id.c_str(), static_cast<int>(id.size())) == MOSQ_ERR_SUCCESS;
}

bool ParseBroker(const std::string& url, BrokerSettings* broker, std::string* error) {
  BrokerAddress address;
  if (!ParseBrokerAddress(url, &address, error)) return false;
  broker->url = url;
  broker->tls = address.tls;
  broker->host = address.host;
  broker->port = address.port;
  return true;
}

}  // namespace

bool BrokerSettings::operator==(const BrokerSettings& o) const {
  return url == o.url && tls == o.tls && host == o.host && port == o.port && caFile == o.caFile && user == o.user &&
         passwordFile == o.passwordFile && passwordEnv == o.passwordEnv;
}

bool SparkplugSettings::operator==(const SparkplugSettings& o) const {
  return on == o.on && groupId == o.groupId && edgeNodeId == o.edgeNodeId && primaryHostId == o.primaryHostId &&
         bdSeqFile == o.bdSeqFile && ownBroker == o.ownBroker && broker == o.broker;
}

void ReadSparkplugTable(const toml::table& table, SparkplugSettings* settings,
                        std::vector<std::pair<int, std::string>>* problems) {
  settings->on = true;
  for (auto&& [key, node] : table) {
    bool known = false;
    for (const char* name : kKeys) known = known || key.str() == name;
    if (!known)
      problems->push_back({LineOf(node), "unknown key '" + std::string(key.str()) +
                                             "' in [sparkplug] (known: group_id, edge_node_id, primary_host_id, "
                                             "bdseq_file, broker, ca_file, user, password_file, password_env)"});
  }
  // A text under `key`; false when it is missing or is not a text.
  const auto text = [&](const char* key, std::string* out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return false;
    if (!node->is_string()) {
      problems->push_back({LineOf(*node), std::string(key) + " of [sparkplug] must be a text in quotes"});
      return false;
    }
    *out = node->as_string()->get();
    return true;
  };
  const auto id = [&](const char* key, bool required, std::string* out) {
    if (!text(key, out)) {
      if (required && table.get(key) == nullptr)
        problems->push_back({LineOf(table), "[sparkplug] needs " + std::string(key)});
      return;
    }
    if (!IdOk(*out))
      problems->push_back({LineOf(*table.get(key)), std::string(key) + " '" + *out +
                                                        "' cannot stand in a Sparkplug topic (not empty, no /, + "
                                                        "or #)"});
  };
  id("group_id", true, &settings->groupId);
  id("edge_node_id", true, &settings->edgeNodeId);
  id("primary_host_id", false, &settings->primaryHostId);
  if (text("bdseq_file", &settings->bdSeqFile) && settings->bdSeqFile.empty())
    problems->push_back({LineOf(*table.get("bdseq_file")), "bdseq_file of [sparkplug] may not be empty"});
  BrokerSettings& broker = settings->broker;
  std::string url;
  if (text("broker", &url)) {
    settings->ownBroker = true;
    std::string error;
    if (!ParseBroker(url, &broker, &error)) problems->push_back({LineOf(*table.get("broker")), error});
  }
  const bool brokerDetails = text("ca_file", &broker.caFile) | text("user", &broker.user) |
                             text("password_file", &broker.passwordFile) | text("password_env", &broker.passwordEnv);
  if (brokerDetails && !settings->ownBroker)
    problems->push_back({LineOf(table),
                         "[sparkplug] sets ca_file, user or a password without a broker: these go with broker = "
                         "\"mqtt://HOST:PORT\" (without it, [mqtt]'s are used)"});
  if (!broker.passwordFile.empty() && !broker.passwordEnv.empty())
    problems->push_back({LineOf(table), "[sparkplug] names both password_file and password_env; keep one"});
  if (!broker.caFile.empty() && settings->ownBroker && !broker.tls)
    problems->push_back({LineOf(*table.get("ca_file")), "ca_file is only used with an mqtts:// broker"});
}

}  // namespace velkd::sparkplug
