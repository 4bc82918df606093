// Where every tag stands as Modbus sees it: each device is a unit, each
// tag one or more coils, discrete inputs, input or holding registers of
// its unit. One map per listening address; lines that share an address
// share its units.
#ifndef VELKD_MODBUS_MAP_H
#define VELKD_MODBUS_MAP_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "core/gateway_config.h"
#include "modbus/modbus_settings.h"

namespace velkd {

struct ModbusEntry {
  ModbusTable table = ModbusTable::kHolding;
  uint16_t address = 0;
  uint16_t count = 1;  // registers, or 1 for a bit
  size_t tag = 0;      // of its line file
  int16_t dataType = 0;
  bool writable = false;  // writable tag in a coil or holding register
  bool lowWordFirst = false;
  TagUnits units;  // a float is served scaled; an integer keeps the module's count
};

struct ModbusUnit {
  uint8_t unit = 0;
  size_t line = 0;                                             // of the gateway's lines
  size_t device = 0;                                           // of that line's file
  std::array<std::vector<ModbusEntry>, kModbusTables> tables;  // each sorted by address
};

struct ModbusLineRef {
  std::string name;
  uint32_t timeoutMs = 1000;
};

struct ModbusMap {
  std::string listen;  // as written
  bool served = true;  // false: a line no server serves, mapped to be checked
  std::string host;
  std::string port;
  uint32_t maxClients = kDefaultModbusClients;
  std::vector<ModbusLineRef> lines;  // per line of the gateway (all of them)
  std::vector<ModbusUnit> units;

  // The unit, or null when no device is that unit.
  const ModbusUnit* Unit(uint8_t unit) const;
};

// The entries of `table` that share a place with [first, first + count).
struct EntryRange {
  const ModbusEntry* begin = nullptr;
  const ModbusEntry* end = nullptr;
  bool empty() const { return begin == end; }
};
EntryRange Overlapping(const std::vector<ModbusEntry>& table, uint32_t first, uint32_t count);

// "HOST:PORT", "[v6]:PORT", ":PORT" or "PORT" (loopback). False with a reason
// for anything else.
bool ParseListen(const std::string& text, std::string* host, std::string* port, std::string* error);

// Registers (or bits) a tag of `dataType` takes; 0 for a type without a
// Modbus form.
uint16_t ModbusCount(int16_t dataType);

// The maps of every listening address: the files' own, and `listen` (from
// the command line; may be empty) for the lines whose file names none.
// With `unservedToo`, each line that neither serves gets a map of its own
// (not served) so that its places are checked and shown too. False when a
// unit, a place or a setting clashes; every problem is appended with its
// file and line.
bool BuildModbusMaps(const GatewayConfig& config, const std::vector<ModbusLineSettings>& modbus,
                     const std::string& listen, bool unservedToo, std::vector<ModbusMap>* maps,
                     std::vector<FileProblem>* problems);

// unit,table,address,count,type,tag,device,access: one row per tag.
std::string ModbusMapCsv(const GatewayConfig& config, const std::vector<ModbusMap>& maps);

}  // namespace velkd

#endif
