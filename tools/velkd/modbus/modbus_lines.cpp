#include "modbus/modbus_lines.h"

#include "core/gateway.h"

namespace velkd {

bool GatewayModbusLines::WithState(size_t line, const std::string& name,
                                   const std::function<void(const LineState&)>& use) {
  size_t index = 0;
  bool found = false;
  gateway_.ForEachLine([&](LineWorker& worker) {
    if (index++ != line || worker.name() != name) return;
    found = true;
    use(worker.state());
  });
  return found;
}

bool GatewayModbusLines::Write(size_t line, const std::string& name, const std::vector<LineWorker::TagWrite>& writes,
                               const LineWorker::WritesDone& done, size_t* ahead, std::string* reason) {
  size_t index = 0;
  bool queued = false;
  *reason = "no such line";
  gateway_.ForEachLine([&](LineWorker& worker) {
    if (index++ != line || worker.name() != name) return;
    queued = worker.QueueWrites(writes, done, ahead, reason);
  });
  return queued;
}

}  // namespace velkd
