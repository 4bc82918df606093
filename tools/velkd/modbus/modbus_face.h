// velkd's Modbus TCP face as a whole: one server per listening address the
// files and the command line name, each with its map. A reload hands every
// server its new map; an address new to the files waits for a restart.
#ifndef VELKD_MODBUS_FACE_H
#define VELKD_MODBUS_FACE_H

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "core/face.h"
#include "core/gateway.h"
#include "modbus/modbus_map.h"
#include "modbus/modbus_server.h"

namespace velkd {

class ModbusFace : public Face {
 public:
  ModbusFace(Lines& lines, const std::vector<ModbusMap>& maps) : lines_(lines), maps_(maps) {}
  ~ModbusFace() override { Stop(); }

  // The maps of `config` and its files' Modbus settings `modbus`, `listen`
  // (from the command line) serving the files that name no address; with
  // `unservedToo` also those of lines nobody serves (see BuildModbusMaps).
  // Every problem is logged.
  static bool ReadMaps(const GatewayConfig& config, const std::vector<ModbusLineSettings>& modbus,
                       const std::string& listen, bool unservedToo, std::vector<ModbusMap>* maps);

  // Serves every map that is served. False (logged) when an address
  // cannot be listened on.
  bool Start() override;
  void Reload(const std::vector<ModbusMap>& maps);
  void Stop() override;

  // Clients connected to every server now.
  size_t clients() const;

 private:
  Lines& lines_;
  const std::vector<ModbusMap> maps_;
  std::vector<std::unique_ptr<ModbusServer>> servers_;
};

}  // namespace velkd

#endif
