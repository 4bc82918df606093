#include "modbus/modbus_settings.h"

#include <stdlib.h>

namespace velkd {
namespace {

const char* const kTableNames[kModbusTables] = {"coil", "discrete", "input", "holding"};

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// "holding:100" and the like; false for anything else.
bool ParsePlace(const std::string& text, ModbusPlace* place) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string name = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  bool known = false;
  for (size_t t = 0; t < kModbusTables; ++t) {
    if (name != kTableNames[t]) continue;
    place->table = static_cast<ModbusTable>(t);
    known = true;
  }
  if (!known || digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long address = strtol(digits.c_str(), nullptr, 10);
  if (address > 65535) return false;
  place->address = static_cast<uint32_t>(address);
  place->fixed = true;
  return true;
}

}  // namespace

const char* ModbusTableName(ModbusTable table) { return kTableNames[static_cast<size_t>(table)]; }

ModbusTable DefaultModbusTable(bool bit, bool writable) {
  if (bit) return writable ? ModbusTable::kCoil : ModbusTable::kDiscrete;
  return writable ? ModbusTable::kHolding : ModbusTable::kInput;
}

void ModbusSections::Read(size_t index, const LineFile& lineFile, const toml::table& root,
                          std::vector<FileProblem>* problems) {
  if (lines_->size() <= index) lines_->resize(index + 1);
  ModbusLineSettings* settings = &(*lines_)[index];
  const std::string& path = lineFile.config.path;
  const hostlib::LineConfig& config = lineFile.config;
  const auto problem = [&](int line, const std::string& message) { problems->push_back({path, line, message}); };
  settings->unit.assign(config.devices.size(), 0);
  settings->place.assign(config.tags.size(), ModbusPlace());
  if (const toml::node* node = root.get("modbus")) {
    const toml::table* table = node->as_table();
    if (table == nullptr) problem(LineOf(*node), "'modbus' must be a [modbus] section");
    for (auto&& [key, value] : table != nullptr ? *table : toml::table()) {
      const std::string name(key.str());
      if (name == "listen" && value.is_string()) {
        settings->listen = value.as_string()->get();
        settings->listenLine = LineOf(value);
      } else if (name == "word_order" && value.is_string() &&
                 (value.as_string()->get() == "high_first" || value.as_string()->get() == "low_first")) {
        settings->lowWordFirst = value.as_string()->get() == "low_first";
      } else if (name == "max_clients" && value.is_integer() && value.as_integer()->get() >= 1 &&
                 value.as_integer()->get() <= kMaxModbusClients) {
        settings->maxClients = static_cast<uint32_t>(value.as_integer()->get());
        settings->maxClientsLine = LineOf(value);
      } else if (name == "listen") {
        problem(LineOf(value), "listen of [modbus] must be a text such as \"127.0.0.1:1502\"");
      } else if (name == "word_order") {
        problem(LineOf(value), "word_order of [modbus] must be \"high_first\" or \"low_first\"");
      } else if (name == "max_clients") {
        problem(LineOf(value),
                "max_clients of [modbus] must be a whole number from 1 to " + std::to_string(kMaxModbusClients));
      } else {
        problem(LineOf(value), "unknown key '" + name + "' in [modbus] (known: listen, word_order, max_clients)");
      }
    }
  }
  // The line file keeps its devices and tags in the file's order, entries
  // that could not be read included, so the n-th table is the n-th entry.
  const toml::array* devices = root.get("device") ? root.get("device")->as_array() : nullptr;
  for (size_t d = 0; devices != nullptr && d < devices->size() && d < config.devices.size(); ++d) {
    const toml::table* table = devices->get(d)->as_table();
    const toml::node* unit = table != nullptr ? table->get("modbus_unit") : nullptr;
    if (unit == nullptr) continue;
    if (unit->is_integer() && unit->as_integer()->get() >= 1 && unit->as_integer()->get() <= 247)
      settings->unit[d] = static_cast<int>(unit->as_integer()->get());
    else
      problem(LineOf(*unit), "modbus_unit of device '" + config.devices[d].name + "' must be a number from 1 to 247");
  }
  const toml::array* tags = root.get("tag") ? root.get("tag")->as_array() : nullptr;
  for (size_t t = 0; tags != nullptr && t < tags->size() && t < config.tags.size(); ++t) {
    const toml::table* table = tags->get(t)->as_table();
    const toml::node* place = table != nullptr ? table->get("modbus") : nullptr;
    if (place == nullptr) continue;
    if (!place->is_string() || !ParsePlace(place->as_string()->get(), &settings->place[t]))
      problem(LineOf(*place), "modbus of tag '" + config.tags[t].name +
                                  "' must be \"TABLE:ADDRESS\" with coil, discrete, input or holding and 0 to 65535");
    settings->place[t].line = LineOf(*place);
  }
}

}  // namespace velkd
