// velkd's Modbus TCP face as a whole: one server per listening address the
// files and the command line name, each with its map. A reload hands every
// server its new map; an address new to the files waits for a restart.
#ifndef VELKD_MODBUS_FACE_H
#define VELKD_MODBUS_FACE_H

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "core/gateway_config.h"
#include "modbus/modbus_lines.h"
#include "modbus/modbus_map.h"
#include "modbus/modbus_server.h"

namespace velkd {

class ModbusFace {
 public:
  explicit ModbusFace(Gateway& gateway) : lines_(gateway) {}
  ~ModbusFace() { Stop(); }

  // The maps of `config`, `listen` (from the command line) serving the
  // files that name no address; with `unservedToo` also those of lines
  // nobody serves (see BuildModbusMaps). Every problem is logged.
  static bool ReadMaps(const GatewayConfig& config, const std::string& listen, bool unservedToo,
                       std::vector<ModbusMap>* maps);

  // Serves every map that is served. False (logged) when an address
  // cannot be listened on.
  bool Start(const std::vector<ModbusMap>& maps);
  void Reload(const std::vector<ModbusMap>& maps);
  void Stop();

  // Clients connected to every server now.
  size_t clients() const;

 private:
  GatewayModbusLines lines_;
  std::vector<std::unique_ptr<ModbusServer>> servers_;
};

}  // namespace velkd

#endif
