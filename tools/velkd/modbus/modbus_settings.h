// What a line file says about its Modbus face: the [modbus] table (where to
// listen, the word order of two-register values, how many clients at once),
// each device's unit and each tag's fixed place, as written. The map
// (modbus_map.h) turns them into registers.
//
//   [modbus]
//   listen = "127.0.0.1:1502"     # HOST:PORT; a bare PORT listens on loopback
//   word_order = "high_first"     # or "low_first" for long and float
//   max_clients = 32
//
//   [[device]]
//   modbus_unit = 12              # instead of the bus address
//
//   [[tag]]
//   modbus = "holding:100"        # coil:, discrete:, input: or holding:
#ifndef VELKD_MODBUS_SETTINGS_H
#define VELKD_MODBUS_SETTINGS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/gateway_config.h"

namespace velkd {

enum class ModbusTable : uint8_t { kCoil = 0, kDiscrete = 1, kInput = 2, kHolding = 3 };
const size_t kModbusTables = 4;

// "coil", "discrete", "input", "holding".
const char* ModbusTableName(ModbusTable table);
// The table a bit or number of this writability goes to.
ModbusTable DefaultModbusTable(bool bit, bool writable);

struct ModbusPlace {
  bool fixed = false;
  ModbusTable table = ModbusTable::kHolding;
  uint32_t address = 0;
  int line = 0;  // of the file
};

struct ModbusLineSettings {
  std::string listen;  // empty: the file names none
  int listenLine = 0;
  bool lowWordFirst = false;
  uint32_t maxClients = 0;  // 0: the file names none
  int maxClientsLine = 0;
  std::vector<int> unit;           // per device: modbus_unit, 0 when not given
  std::vector<ModbusPlace> place;  // per tag
};

// Every file's Modbus settings, one per line in the order read.
class ModbusSections : public FileSections {
 public:
  explicit ModbusSections(std::vector<ModbusLineSettings>* lines) : lines_(lines) {}
  void Read(size_t line, const LineFile& lineFile, const toml::table& root,
            std::vector<FileProblem>* problems) override;

 private:
  std::vector<ModbusLineSettings>* lines_;
};

const uint32_t kDefaultModbusClients = 32;
const uint32_t kMaxModbusClients = 256;

}  // namespace velkd

#endif
