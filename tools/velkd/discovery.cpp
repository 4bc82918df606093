#include "discovery.h"

#include <ctype.h>

#include <nlohmann/json.hpp>

namespace velkd {
namespace {

std::string ObjectId(const std::string& text) {
  std::string id;
  for (unsigned char c : text) id += isalnum(c) || c == '_' || c == '-' ? static_cast<char>(c) : '_';
  return id;
}

}  // namespace

std::string DiscoveryTopic(const DiscoveredTag& t) {
  return "homeassistant/sensor/" + ObjectId("velk_" + t.line + "_" + t.device + "_" + t.tag) + "/config";
}

std::string DiscoveryPayload(const DiscoveredTag& t) {
  const std::string base = t.prefix + "/" + t.line + "/" + t.device;
  nlohmann::ordered_json config;
  config["name"] = t.tag;
  config["unique_id"] = ObjectId("velk_" + t.line + "_" + t.device + "_" + t.tag);
  config["state_topic"] = base + "/" + t.tag;
  config["value_template"] = "{{ value_json.value }}";
  config["availability_topic"] = base + "/$state";
  config["availability_template"] = "{{ value_json.state }}";
  config["payload_available"] = "online";
  config["payload_not_available"] = "offline";
  config["device"] = {{"identifiers", {ObjectId("velk_" + t.line + "_" + t.device)}},
                      {"name", t.device},
                      {"model", t.deviceType}};
  return config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velkd
