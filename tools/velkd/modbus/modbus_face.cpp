#include "modbus/modbus_face.h"

#include "core/journal_log.h"

namespace velkd {

bool ModbusFace::ReadMaps(const GatewayConfig& config, const std::vector<ModbusLineSettings>& modbus,
                          const std::string& listen, bool unservedToo, std::vector<ModbusMap>* maps) {
  std::vector<FileProblem> problems;
  const bool ok = BuildModbusMaps(config, modbus, listen, unservedToo, maps, &problems);
  for (const FileProblem& p : problems) {
    if (p.line > 0)
      Log(kError, "%s:%d: %s", p.path.c_str(), p.line, p.message.c_str());
    else
      Log(kError, "%s: %s", p.path.c_str(), p.message.c_str());
  }
  return ok;
}

bool ModbusFace::Start() {
  for (const ModbusMap& map : maps_) {
    if (!map.served) continue;
    servers_.push_back(std::make_unique<ModbusServer>(lines_, std::make_shared<ModbusMap>(map)));
    std::string error;
    if (!servers_.back()->Start(&error)) {
      Log(kError, "%s", error.c_str());
      return false;
    }
  }
  return true;
}

void ModbusFace::Reload(const std::vector<ModbusMap>& maps) {
  for (auto& server : servers_) {
    // An address the files no longer name serves no unit until a restart.
    std::shared_ptr<const ModbusMap> next = std::make_shared<ModbusMap>();
    for (const ModbusMap& map : maps)
      if (map.served && map.listen == server->listen()) next = std::make_shared<ModbusMap>(map);
    server->SetMap(next);
  }
  for (const ModbusMap& map : maps) {
    bool served = false;
    for (auto& server : servers_) served = served || map.listen == server->listen();
    if (map.served && !served) Log(kWarning, "Modbus on %s starts when velkd is restarted", map.listen.c_str());
  }
}

void ModbusFace::Stop() {
  for (auto& server : servers_) server->Stop();
  servers_.clear();
}

size_t ModbusFace::clients() const {
  size_t count = 0;
  for (const auto& server : servers_) count += server->clients();
  return count;
}

}  // namespace velkd
