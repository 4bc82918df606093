#include "core/gateway_config.h"

#include <mosquitto.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <toml++/toml.h>

#include "did_you_mean.h"
#include "toml_reader.h"

namespace velkd {
namespace {

using hostlib::LineOf;

// Poll intervals below this would only fill the line with one tag.
const int64_t kMinIntervalMs = 20;
const int64_t kMaxIntervalMs = 86400000;

std::vector<std::string> DeviceNames(const hostlib::LineConfig& config) {
  std::vector<std::string> names;
  for (const hostlib::DeviceEntry& device : config.devices) names.push_back(device.name);
  return names;
}

std::vector<std::string> TagNames(const hostlib::LineConfig& config) {
  std::vector<std::string> names;
  for (const hostlib::TagEntry& tag : config.tags) names.push_back(tag.name);
  return names;
}

// {name = interval} for the entries of one kind; an unknown name is a problem.
template <typename Find>
void ReadIntervals(hostlib::TomlReader& reader, const toml::node& node, const char* key, Find find,
                   const std::vector<std::string>& names, std::vector<std::pair<int, uint32_t>>* out) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.Problem(LineOf(node), std::string(key) + " of [gateway] must be a table such as { name = 500 }");
    return;
  }
  for (auto&& [name, value] : *table) {
    const int index = find(std::string(name.str()));
    if (index < 0) {
      reader.Problem(LineOf(value), std::string(key) + " names '" + std::string(name.str()) +
                                        "', which is not defined" +
                                        hostlib::DidYouMean(std::string(name.str()), names));
      continue;
    }
    int64_t ms = 0;
    if (reader.Integer(value, std::string(key) + " of '" + std::string(name.str()) + "'", kMinIntervalMs,
                       kMaxIntervalMs, &ms))
      out->push_back({index, static_cast<uint32_t>(ms)});
  }
}

void ReadGateway(hostlib::TomlReader& reader, const toml::table* table, LineFile* line) {
  const hostlib::LineConfig& config = line->config;
  uint32_t lineMs = 1000;
  std::vector<std::pair<int, uint32_t>> devices, tags;
  std::vector<bool> writable(config.tags.size(), false);
  if (table != nullptr) {
    reader.CheckKeys(*table, {"line", "interval_ms", "device_interval_ms", "tag_interval_ms", "writable"}, "[gateway]");
    reader.String(*table, "line", "[gateway]", &line->name);
    int64_t value = 0;
    if (const toml::node* node = table->get("interval_ms"))
      if (reader.Integer(*node, "interval_ms of [gateway]", kMinIntervalMs, kMaxIntervalMs, &value))
        lineMs = static_cast<uint32_t>(value);
    if (const toml::node* node = table->get("device_interval_ms"))
      ReadIntervals(
          reader, *node, "device_interval_ms", [&](const std::string& n) { return config.FindDevice(n); },
          DeviceNames(config), &devices);
    if (const toml::node* node = table->get("tag_interval_ms"))
      ReadIntervals(
          reader, *node, "tag_interval_ms", [&](const std::string& n) { return config.FindTag(n); }, TagNames(config),
          &tags);
    if (const toml::node* node = table->get("writable")) {
      const toml::array* names = node->as_array();
      if (names == nullptr) reader.Problem(LineOf(*node), "writable of [gateway] must be a list of tag names");
      for (size_t i = 0; names != nullptr && i < names->size(); ++i) {
        const toml::node& entry = *names->get(i);
        const int tag = entry.is_string() ? config.FindTag(entry.as_string()->get()) : -1;
        if (!entry.is_string())
          reader.Problem(LineOf(entry), "writable of [gateway] must list tag names in quotes");
        else if (tag < 0)
          reader.Problem(LineOf(entry), "writable names '" + entry.as_string()->get() +
                                            "', which is not a tag of this file" +
                                            hostlib::DidYouMean(entry.as_string()->get(), TagNames(config)));
        else
          writable[static_cast<size_t>(tag)] = true;
      }
    }
  }
  line->tags.clear();
  for (size_t t = 0; t < config.tags.size(); ++t) {
    const hostlib::TagEntry& entry = config.tags[t];
    TagRow row;
    row.name = entry.name;
    row.device = entry.device;
    row.deviceIndex = entry.deviceIndex;
    if (entry.deviceIndex < config.devices.size()) row.deviceType = config.devices[entry.deviceIndex].type;
    row.address = entry.address;
    row.dataType = entry.dataType;
    row.polled = entry.poll;
    row.intervalMs = lineMs;
    row.writable = writable[t];
    line->tags.push_back(row);
  }
  for (const auto& [device, ms] : devices)
    for (TagRow& row : line->tags)
      if (row.deviceIndex == static_cast<size_t>(device)) row.intervalMs = ms;
  for (const auto& [tag, ms] : tags) line->tags[static_cast<size_t>(tag)].intervalMs = ms;
}

}  // namespace

bool TopicLevelOk(const std::string& name) {
  if (name.empty() || name[0] == '$') return false;
  for (unsigned char c : name)
    if (c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F) return false;
  // The broker takes topics only in UTF-8.
  return mosquitto_validate_utf8(name.c_str(), static_cast<int>(name.size())) == MOSQ_ERR_SUCCESS;
}

bool LoadGatewayConfig(const std::vector<std::string>& paths, const std::vector<FileSections*>& sections,
                       GatewayConfig* config, std::vector<FileProblem>* problems) {
  const size_t before = problems->size();
  std::string storeFrom;  // the file that set [store]
  for (const std::string& path : paths) {
    LineFile line;
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
    const toml::node* gateway = root.get("gateway");
    if (gateway != nullptr && !gateway->is_table())
      reader.Problem(LineOf(*gateway), "'gateway' must be a [gateway] section");
    ReadGateway(reader, gateway != nullptr ? gateway->as_table() : nullptr, &line);
    ReadTagUnits(path, root, line.config, &line.tags, problems);
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
    for (const LineFile& other : config->lines)
      if (other.name == line.name)
        reader.Problem(0, "line name '" + line.name + "' is used by " + other.config.path + " too");
    if (const toml::node* node = root.get("store")) {
      StoreSettings store;
      std::vector<std::pair<int, std::string>> found;
      if (node->is_table())
        ReadStoreTable(*node->as_table(), &store, &found);
      else
        found.push_back({LineOf(*node), "'store' must be a [store] section"});
      for (const auto& [at, message] : found) reader.Problem(at, message);
      if (storeFrom.empty()) {
        config->store = store;
        storeFrom = path;
      } else if (!(store == config->store)) {
        reader.Problem(LineOf(*node), "[store] differs from the one in " + storeFrom + "; one velkd keeps one store");
      }
    }
    for (FileSections* face : sections) face->Read(config->lines.size(), line, root, problems);
    for (const hostlib::ConfigProblem& p : found) problems->push_back({path, p.line, p.message});
    config->lines.push_back(std::move(line));
  }
  return problems->size() == before;
}

}  // namespace velkd
