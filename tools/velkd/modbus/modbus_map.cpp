#include "modbus/modbus_map.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "data_types.h"
#include "velk4000/velk4000.h"

namespace velkd {
namespace {

// Units above 247 are reserved; 0 is the broadcast.
const int kLastUnit = 247;

// The bus address of a device's address text ("3" or "3.1"), -1 when it is
// not a plain number.
int BusAddress(const std::string& text) {
  const std::string digits = text.substr(0, text.find('.'));
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return atoi(digits.c_str());
}

// A name as one CSV field: quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string NumberText(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.15g", value);
  return text;
}

bool Overlaps(const ModbusEntry& e, uint32_t first, uint32_t count) {
  return e.address < first + count && first < static_cast<uint32_t>(e.address) + e.count;
}

void Insert(std::vector<ModbusEntry>* table, const ModbusEntry& entry) {
  const auto at = std::lower_bound(table->begin(), table->end(), entry,
                                   [](const ModbusEntry& a, const ModbusEntry& b) { return a.address < b.address; });
  table->insert(at, entry);
}

struct Builder {
  const GatewayConfig& config;
  const std::vector<ModbusLineSettings>& modbus;  // per line of config
  std::vector<ModbusMap>* maps;
  std::vector<FileProblem>* problems;
  std::vector<bool> maxClientsNamed;  // per map

  void Problem(const LineFile& line, int at, const std::string& message) {
    problems->push_back({line.config.path, at, message});
  }

  ModbusMap* MapFor(const std::string& host, const std::string& port, const std::string& listen) {
    for (ModbusMap& map : *maps)
      if (map.host == host && map.port == port) return &map;
    ModbusMap map;
    map.listen = listen;
    map.host = host;
    map.port = port;
    for (const LineFile& line : config.lines)
      map.lines.push_back({line.name, static_cast<uint32_t>(line.config.port.timeoutMs)});
    maps->push_back(map);
    return &maps->back();
  }

  // The unit's tags, fixed places first, then the rest in the order of the
  // file from address 0, each in the first gap that holds it.
  void PlaceTags(const LineFile& line, const ModbusLineSettings& settings, ModbusUnit* unit) {
    std::array<uint32_t, kModbusTables> next{};
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t t = 0; t < line.config.tags.size(); ++t) {
        const hostlib::TagEntry& tag = line.config.tags[t];
        const ModbusPlace& place = settings.place[t];
        if (tag.deviceIndex != unit->device || place.fixed != (pass == 0)) continue;
        const uint16_t count = ModbusCount(tag.dataType);
        const int at = place.fixed ? place.line : tag.line;
        if (count == 0) {
          Problem(line, at,
                  "tag '" + tag.name + "' is of type " + hostlib::DataTypeName(tag.dataType) +
                      ", which has no Modbus form");
          continue;
        }
        const bool bit = tag.dataType == velk::kTypeBit;
        ModbusEntry entry;
        entry.table = place.fixed ? place.table : DefaultModbusTable(bit, line.tags[t].writable);
        const bool bitTable = entry.table == ModbusTable::kCoil || entry.table == ModbusTable::kDiscrete;
        if (bit != bitTable) {
          Problem(line, at,
                  "tag '" + tag.name + "': a " + hostlib::DataTypeName(tag.dataType) + " goes in " +
                      (bit ? "coil: or discrete:" : "input: or holding:"));
          continue;
        }
        entry.count = count;
        entry.tag = t;
        entry.dataType = tag.dataType;
        entry.writable =
            line.tags[t].writable && (entry.table == ModbusTable::kCoil || entry.table == ModbusTable::kHolding);
        entry.lowWordFirst = settings.lowWordFirst;
        entry.units = line.tags[t].units;
        std::vector<ModbusEntry>& table = unit->tables[static_cast<size_t>(entry.table)];
        uint32_t address = place.fixed ? place.address : next[static_cast<size_t>(entry.table)];
        for (bool moved = !place.fixed; moved;) {
          moved = false;
          for (const ModbusEntry& other : table)
            if (Overlaps(other, address, count)) {
              address = static_cast<uint32_t>(other.address) + other.count;
              moved = true;
            }
        }
        if (address + count > 65536) {
          Problem(line, at,
                  "tag '" + tag.name + "' does not fit below address 65536 of its unit's " +
                      ModbusTableName(entry.table) + " table");
          continue;
        }
        bool clash = false;
        for (const ModbusEntry& other : table) {
          if (!Overlaps(other, address, count)) continue;
          Problem(line, at,
                  "tag '" + tag.name + "' at " + ModbusTableName(entry.table) + ":" + std::to_string(address) +
                      " overlaps tag '" + line.config.tags[other.tag].name + "' (" + ModbusTableName(other.table) +
                      ":" + std::to_string(other.address) + ", " + std::to_string(other.count) +
                      (other.count == 1 ? " place)" : " places)"));
          clash = true;
          break;
        }
        if (clash) continue;
        entry.address = static_cast<uint16_t>(address);
        Insert(&table, entry);
        if (!place.fixed) next[static_cast<size_t>(entry.table)] = address + count;
      }
    }
  }

  // The line's devices and tags into the map of its address, or into a
  // map of its own (`alone`) when nothing serves it.
  void AddLine(size_t l, const std::string& commandLine, ModbusMap* alone) {
    const LineFile& line = config.lines[l];
    const ModbusLineSettings& settings = modbus[l];
    const std::string& listen = settings.listen.empty() ? commandLine : settings.listen;
    if (listen.empty() && alone == nullptr) return;
    std::string host, port, error;
    if (alone == nullptr && !ParseListen(listen, &host, &port, &error)) {
      Problem(line, settings.listen.empty() ? 0 : settings.listenLine,
              (settings.listen.empty() ? "--modbus: " : "listen of [modbus]: ") + error);
      return;
    }
    ModbusMap* map = alone != nullptr ? alone : MapFor(host, port, listen);
    const size_t m = static_cast<size_t>(map - maps->data());
    if (maxClientsNamed.size() <= m) maxClientsNamed.resize(m + 1, false);
    if (settings.maxClients != 0 && alone == nullptr) {
      if (maxClientsNamed[m] && map->maxClients != settings.maxClients)
        Problem(
            line, settings.maxClientsLine,
            "max_clients of [modbus] differs from another file that listens on " + listen + "; they share one server");
      map->maxClients = settings.maxClients;
      maxClientsNamed[m] = true;
    }
    for (size_t d = 0; d < line.config.devices.size(); ++d) {
      const hostlib::DeviceEntry& device = line.config.devices[d];
      const int unit = settings.unit[d] != 0 ? settings.unit[d] : BusAddress(device.address);
      if (unit < 1 || unit > kLastUnit) {
        Problem(line, device.line,
                "device '" + device.name + "' at address " + device.address +
                    " fits no Modbus unit (1 to 247): give it modbus_unit = N");
        continue;
      }
      if (const ModbusUnit* other = map->Unit(static_cast<uint8_t>(unit))) {
        const LineFile& otherLine = config.lines[other->line];
        Problem(line, device.line,
                "device '" + device.name + "' would be Modbus unit " + std::to_string(unit) + ", which is device '" +
                    otherLine.config.devices[other->device].name + "' of " + otherLine.config.path +
                    (listen.empty() ? std::string() : " on " + listen) + " already: give one modbus_unit = N");
        continue;
      }
      ModbusUnit entry;
      entry.unit = static_cast<uint8_t>(unit);
      entry.line = l;
      entry.device = d;
      PlaceTags(line, settings, &entry);
      map->units.push_back(std::move(entry));
    }
  }
};

}  // namespace

const ModbusUnit* ModbusMap::Unit(uint8_t unit) const {
  for (const ModbusUnit& u : units)
    if (u.unit == unit) return &u;
  return nullptr;
}

EntryRange Overlapping(const std::vector<ModbusEntry>& table, uint32_t first, uint32_t count) {
  EntryRange range;
  // The entries do not overlap, so their ends rise with their addresses.
  const auto begin = std::partition_point(table.begin(), table.end(), [&](const ModbusEntry& e) {
    return static_cast<uint32_t>(e.address) + e.count <= first;
  });
  auto end = begin;
  while (end != table.end() && end->address < first + count) ++end;
  range.begin = table.data() + (begin - table.begin());
  range.end = table.data() + (end - table.begin());
  return range;
}

bool ParseListen(const std::string& text, std::string* host, std::string* port, std::string* error) {
  std::string digits = text;
  *host = "127.0.0.1";
  const size_t colon = text.rfind(':');
  const size_t close = text.rfind(']');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    std::string name = text.substr(0, colon);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    if (!name.empty()) *host = name;
    digits = text.substr(colon + 1);
  }
  const long value = digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos
                         ? 0
                         : strtol(digits.c_str(), nullptr, 10);
  if (value < 1 || value > 65535 || host->find_first_of("/@ []") != std::string::npos) {
    *error = "'" + text + "' is not HOST:PORT with a port from 1 to 65535";
    return false;
  }
  *port = std::to_string(value);
  return true;
}

uint16_t ModbusCount(int16_t dataType) {
  switch (dataType) {
    case velk::kTypeBit:
    case velk::kTypeByte:
    case velk::kTypeShort:
    case velk::kTypeWord: return 1;
    case velk::kTypeLong:
    case velk::kTypeFloat: return 2;
    case velk::kTypeString: return 8;
    default: return 0;
  }
}

bool BuildModbusMaps(const GatewayConfig& config, const std::vector<ModbusLineSettings>& modbus,
                     const std::string& listen, bool unservedToo, std::vector<ModbusMap>* maps,
                     std::vector<FileProblem>* problems) {
  const size_t before = problems->size();
  maps->clear();
  maps->reserve(2 * config.lines.size());  // MapFor hands out pointers into it
  Builder builder{config, modbus, maps, problems, {}};
  for (size_t l = 0; l < config.lines.size(); ++l) builder.AddLine(l, listen, nullptr);
  for (size_t l = 0; unservedToo && l < config.lines.size(); ++l) {
    if (!modbus[l].listen.empty() || !listen.empty()) continue;
    ModbusMap alone;
    alone.served = false;
    for (const LineFile& line : config.lines)
      alone.lines.push_back({line.name, static_cast<uint32_t>(line.config.port.timeoutMs)});
    maps->push_back(alone);
    builder.AddLine(l, listen, &maps->back());
  }
  return problems->size() == before;
}

std::string ModbusMapCsv(const GatewayConfig& config, const std::vector<ModbusMap>& maps) {
  // scale and offset: what a client applies to the register to have the
  // published value; a float's register holds it already.
  std::string csv = "unit,table,address,count,type,tag,device,access,eng_unit,scale,offset\n";
  for (const ModbusMap& map : maps)
    for (const ModbusUnit& unit : map.units) {
      const hostlib::LineConfig& line = config.lines[unit.line].config;
      for (const std::vector<ModbusEntry>& table : unit.tables)
        for (const ModbusEntry& e : table) {
          const hostlib::TagEntry& tag = line.tags[e.tag];
          const char* access = tag.poll ? (e.writable ? "rw" : "r") : (e.writable ? "w" : "-");
          csv +=
              std::to_string(unit.unit) + "," + ModbusTableName(e.table) + "," + std::to_string(e.address) + "," +
              std::to_string(e.count) + "," + hostlib::DataTypeName(e.dataType) + "," + CsvField(tag.name) + "," +
              CsvField(line.devices[unit.device].name) + "," + access + "," + CsvField(e.units.unit) + "," +
              (e.dataType == velk::kTypeFloat ? "1,0" : NumberText(e.units.scale) + "," + NumberText(e.units.offset)) +
              "\n";
        }
    }
  return csv;
}

}  // namespace velkd
