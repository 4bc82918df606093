#include "line_config.h"

#include <strings.h>

#include <filesystem>
#include <initializer_list>
#include <toml++/toml.h>

#include "data_types.h"
#include "did_you_mean.h"
#include "toml_reader.h"

namespace hostlib {
namespace {

const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};

}  // namespace

const char kParityChoices[] = "none, odd, even, mark, space";

namespace {

void ReadPort(TomlReader& reader, const toml::table& port, PortConfig* out) {
  const std::string where = "[port]";
  reader.CheckKeys(port, {"name", "baud", "data_bits", "parity", "stop_bits", "timeout_ms", "poll_delay_ms"}, where);
  std::string name;
  if (reader.String(port, "name", where, &name, false)) {
    // The host's record holds 31 characters and the terminating NUL.
    if (name.size() > 31)
      reader.Problem(LineOf(*port.get("name")), "port name '" + name + "' is longer than 31 characters");
    else
      out->name = name;
  }
  int64_t value = 0;
  // The driver's own opening takes only the low 16 bits of the rate.
  if (reader.Integer(port, "baud", where, 1, 4000000, &value)) out->baud = static_cast<uint32_t>(value);
  if (reader.Integer(port, "data_bits", where, 5, 8, &value)) out->dataBits = static_cast<uint8_t>(value);
  if (reader.Integer(port, "stop_bits", where, 1, 2, &value)) out->stopBits = static_cast<int16_t>(value);
  if (reader.Integer(port, "timeout_ms", where, 1, 32767, &value)) out->timeoutMs = static_cast<int16_t>(value);
  if (reader.Integer(port, "poll_delay_ms", where, 0, 65535, &value)) {
    out->hasPollDelay = true;
    out->pollDelayMs = static_cast<uint16_t>(value);
  }
  std::string parity;
  if (reader.String(port, "parity", where, &parity, false) && !ParityFromName(parity, &out->parity))
    reader.Problem(LineOf(*port.get("parity")), "parity '" + parity + "' is not one of " + kParityChoices);
}

void ReadLine(TomlReader& reader, const toml::table& line, BackoffSettings* out) {
  const std::string where = "[line]";
  reader.CheckKeys(line, {"offline_after", "offline_retry_max_s"}, where);
  int64_t value = 0;
  if (reader.Integer(line, "offline_after", where, 0, 1000, &value)) out->offlineAfter = static_cast<uint32_t>(value);
  // An hour: beyond it a module put back would go unnoticed for too long.
  if (reader.Integer(line, "offline_retry_max_s", where, 1, 3600, &value))
    out->retryMaxMs = static_cast<uint32_t>(value) * 1000u;
}

void ReadDevice(TomlReader& reader, const toml::table& table, LineConfig* config) {
  DeviceEntry device;
  device.line = LineOf(table);
  const std::string where = "[[device]] at line " + std::to_string(device.line);
  reader.CheckKeys(table, {"name", "type", "address", "modbus_unit"}, "[[device]]");
  reader.String(table, "name", where, &device.name, true);
  reader.String(table, "type", where, &device.type, true);
  const toml::node* address = table.get("address");
  if (address == nullptr) {
    reader.Problem(device.line, where + " has no address");
  } else if (address->is_integer()) {
    device.address = std::to_string(address->as_integer()->get());
  } else if (address->is_string()) {
    device.address = address->as_string()->get();
  } else {
    reader.Problem(LineOf(*address),
                   "address of " + where + " must be a text such as \"1\" or \"3.1\" (write a point form in quotes)");
  }
  if (!device.name.empty() && config->FindDevice(device.name) >= 0)
    reader.Problem(device.line, "a device named '" + device.name + "' is already defined");
  config->devices.push_back(device);
}

void ReadTag(TomlReader& reader, const toml::table& table, LineConfig* config) {
  TagEntry tag;
  tag.line = LineOf(table);
  const std::string where = "[[tag]] at line " + std::to_string(tag.line);
  reader.CheckKeys(
      table,
      {"name", "device", "address", "type", "poll", "modbus", "unit", "scale", "offset", "device_class", "state_class"},
      "[[tag]]");
  reader.String(table, "name", where, &tag.name, true);
  // Until its device is found, an index past the devices: no check may
  // take another device's.
  tag.deviceIndex = config->devices.size();
  if (reader.String(table, "device", where, &tag.device, true)) {
    const int index = config->FindDevice(tag.device);
    if (index < 0) {
      std::vector<std::string> names;
      for (const DeviceEntry& device : config->devices) names.push_back(device.name);
      reader.Problem(LineOf(*table.get("device")), "tag '" + tag.name + "' names device '" + tag.device +
                                                       "', which is not defined" + DidYouMean(tag.device, names));
    } else
      tag.deviceIndex = static_cast<size_t>(index);
  }
  if (reader.String(table, "address", where, &tag.address, true) && tag.address.size() > 128)
    reader.Problem(LineOf(*table.get("address")),
                   "address of tag '" + tag.name + "' is longer than the host's 128 characters");
  std::string type;
  if (reader.String(table, "type", where, &type, true)) {
    tag.dataType = DataTypeFromName(type);
    if (tag.dataType == 0)
      reader.Problem(LineOf(*table.get("type")),
                     "type '" + type + "' of tag '" + tag.name + "' is not one of " + DataTypeChoices() +
                         DidYouMean(type, {"bit", "byte", "short", "word", "long", "float", "string"}));
  }
  reader.Boolean(table, "poll", "poll of tag '" + tag.name + "'", &tag.poll);
  if (!tag.name.empty() && config->FindTag(tag.name) >= 0)
    reader.Problem(tag.line, "a tag named '" + tag.name + "' is already defined");
  config->tags.push_back(tag);
}

// Reads the entries of an array of tables such as [[device]].
template <typename ReadOne>
void ReadArray(TomlReader& reader, const toml::node& node, const char* key, LineConfig* config, ReadOne readOne) {
  const toml::array* array = node.as_array();
  if (array == nullptr) {
    reader.Problem(LineOf(node), std::string("'") + key + "' must be written as [[" + key + "]] sections");
    return;
  }
  for (const toml::node& element : *array) {
    if (const toml::table* table = element.as_table())
      readOne(reader, *table, config);
    else
      reader.Problem(LineOf(element), std::string("each '") + key + "' entry must be a [[" + key + "]] section");
  }
}

}  // namespace

int LineConfig::FindDevice(const std::string& name) const {
  for (size_t i = 0; i < devices.size(); ++i)
    if (devices[i].name == name) return static_cast<int>(i);
  return -1;
}

int LineConfig::FindTag(const std::string& name) const {
  for (size_t i = 0; i < tags.size(); ++i)
    if (tags[i].name == name) return static_cast<int>(i);
  return -1;
}

const char* ParityName(uint8_t parity) { return parity < 5 ? kParityNames[parity] : "unknown"; }

bool ParityFromName(const std::string& name, uint8_t* parity) {
  for (uint8_t i = 0; i < 5; ++i) {
    if (strcasecmp(name.c_str(), kParityNames[i]) == 0) {
      *parity = i;
      return true;
    }
  }
  return false;
}

std::vector<std::string> ParityNames() { return std::vector<std::string>(kParityNames, kParityNames + 5); }

bool LoadLineConfig(const std::string& path, LineConfig* config, std::vector<ConfigProblem>* problems) {
  const size_t before = problems->size();
  config->path = path;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    problems->push_back({0, "cannot read the line file: it does not exist"});
    return false;
  }
  if (std::filesystem::is_directory(path, ec)) {
    problems->push_back({0, "cannot read the line file: it is a directory"});
    return false;
  }
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& error) {
    const int line = static_cast<int>(error.source().begin.line);
    problems->push_back({line, std::string(error.description())});
    return false;
  }
  config->parsed = true;
  TomlReader reader(problems);
  // [mqtt], [gateway], [modbus], [http], [sparkplug], [store] and the modbus keys of devices and tags
  // belong to velkd, which reads them itself; a test host passes over them
  // so that one file serves both.
  reader.CheckKeys(
      root, {"port", "line", "device", "tag", "simulation", "mqtt", "gateway", "modbus", "http", "sparkplug", "store"},
      "the file");
  if (const toml::node* port = root.get("port")) {
    if (const toml::table* table = port->as_table())
      ReadPort(reader, *table, &config->port);
    else
      reader.Problem(LineOf(*port), "'port' must be a [port] section");
  }
  if (const toml::node* line = root.get("line")) {
    if (const toml::table* table = line->as_table())
      ReadLine(reader, *table, &config->backoff);
    else
      reader.Problem(LineOf(*line), "'line' must be a [line] section");
  }
  // Devices first, so that tags may name a device wherever they stand.
  if (const toml::node* devices = root.get("device")) ReadArray(reader, *devices, "device", config, ReadDevice);
  if (const toml::node* tags = root.get("tag")) ReadArray(reader, *tags, "tag", config, ReadTag);
  if (const toml::node* simulation = root.get("simulation")) {
    config->hasSimulation = true;
    config->simulationLine = LineOf(*simulation);
  }
  return problems->size() == before;
}

}  // namespace hostlib
