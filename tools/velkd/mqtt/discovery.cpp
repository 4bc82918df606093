#include "mqtt/discovery.h"

#include <ctype.h>
#include <math.h>

#include <nlohmann/json.hpp>

#include "velk4000/velk4000.h"

namespace velkd {
namespace {

std::string ObjectId(const std::string& text) {
  std::string id;
  for (unsigned char c : text) id += isalnum(c) || c == '_' || c == '-' ? static_cast<char>(c) : '_';
  return id;
}

// The range a number entity offers for a tag's type.
void NumberRange(const DiscoveredTag& t, nlohmann::ordered_json* config) {
  double low = 0, high = 0, step = 1;
  switch (t.dataType) {
    case velk::kTypeByte: high = 255; break;
    case velk::kTypeShort:
      low = -32768;
      high = 32767;
      break;
    case velk::kTypeWord: high = 4294967295.0; break;
    case velk::kTypeLong:
      low = -2147483648.0;
      high = 2147483647.0;
      break;
    default:
      low = -1e9;
      high = 1e9;
      step = 0.001;
      break;
  }
  if (t.field != nullptr) {
    low = t.field->low;
    high = t.field->high;
    step = pow(10.0, -t.field->decimals);
  }
  (*config)["min"] = low;
  (*config)["max"] = high;
  (*config)["step"] = step;
  (*config)["mode"] = "box";
}

}  // namespace

std::string DiscoveryComponent(const DiscoveredTag& t) {
  const bool bit = t.dataType == velk::kTypeBit;
  const bool number = !bit && t.dataType != velk::kTypeString;
  if (t.writable && bit) return "switch";
  if (t.writable && number) return "number";
  if (!t.polled) return "";
  return bit ? "binary_sensor" : "sensor";
}

// The prefix is part of every identifier, so that two gateways with lines
// of the same names (under prefixes of their own) stay apart.
std::string DeviceId(const DiscoveredTag& t) { return ObjectId(t.prefix + "_" + t.line + "_" + t.device); }

std::string TagId(const DiscoveredTag& t) { return DeviceId(t) + "_" + ObjectId(t.tag); }

std::string DiscoveryTopic(const DiscoveredTag& t) {
  return "homeassistant/" + DiscoveryComponent(t) + "/" + TagId(t) + "/config";
}

std::string DiscoveryPayload(const DiscoveredTag& t) {
  const std::string base = t.prefix + "/" + t.line + "/" + t.device;
  const std::string component = DiscoveryComponent(t);
  nlohmann::ordered_json config;
  config["name"] = t.tag;
  config["unique_id"] = TagId(t);
  // A tag that is only written has no state to show: the entity keeps what
  // was last sent.
  if (t.polled) {
    config["state_topic"] = base + "/" + t.tag;
    config["value_template"] = "{{ value_json.value }}";
  }
  if (component == "binary_sensor" || component == "switch") {
    config["payload_on"] = component == "switch" ? "true" : "1";
    config["payload_off"] = component == "switch" ? "false" : "0";
    if (component == "switch") {
      config["state_on"] = "1";
      config["state_off"] = "0";
    }
  }
  if (component == "switch" || component == "number") config["command_topic"] = base + "/" + t.tag + "/set";
  if (component == "number") NumberRange(t, &config);
  // Statistics are kept only for entities with a unit and a state class.
  if (!t.units.unit.empty() && component != "binary_sensor" && component != "switch")
    config["unit_of_measurement"] = t.units.unit;
  if (!t.units.deviceClass.empty()) config["device_class"] = t.units.deviceClass;
  if (!t.units.stateClass.empty() && component == "sensor") config["state_class"] = t.units.stateClass;
  // Available while both say so: the gateway (whose last will says
  // "offline" when it dies without a word, while the device's retained
  // state would stay "online") and the device.
  config["availability"] = {{{"topic", t.prefix + "/$state"}},
                            {{"topic", base + "/$state"}, {"value_template", "{{ value_json.state }}"}}};
  if (t.polled) {
    // And the tag's own latest reading: one that failed keeps its last value
    // in the payload, which the entity must not show as current. Its quality
    // and reason go along as attributes.
    config["availability"].push_back(
        {{"topic", base + "/" + t.tag}, {"value_template", "{{ 'online' if value_json.good else 'offline' }}"}});
    config["json_attributes_topic"] = base + "/" + t.tag;
    config["json_attributes_template"] = "{{ {'quality': value_json.quality, 'reason': value_json.reason} | tojson }}";
  }
  config["availability_mode"] = "all";  // each says "online" or "offline", Home Assistant's defaults
  config["device"] = {{"identifiers", {DeviceId(t)}}, {"name", t.device}, {"model", t.deviceType}};
  return config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velkd
