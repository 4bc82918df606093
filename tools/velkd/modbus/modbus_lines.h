// What the Modbus face sees of the gateway's lines: copies of their state
// and their write queues, never the serial line itself.
#ifndef VELKD_MODBUS_LINES_H
#define VELKD_MODBUS_LINES_H

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "core/line_state.h"
#include "core/line_worker.h"

namespace velkd {

class Gateway;

class ModbusLines {
 public:
  virtual ~ModbusLines() = default;
  // Calls `use` with the state of line `line` if it is still the line named
  // `name` (a reload may have replaced it); false when it is not. `use`
  // copies and must not wait.
  virtual bool WithState(size_t line, const std::string& name, const std::function<void(const LineState&)>& use) = 0;
  // Queues writes on that line, all or none (LineWorker::QueueWrites).
  virtual bool Write(size_t line, const std::string& name, const std::vector<LineWorker::TagWrite>& writes,
                     const LineWorker::WritesDone& done, size_t* ahead, std::string* reason) = 0;
};

// The gateway's own lines.
class GatewayModbusLines : public ModbusLines {
 public:
  explicit GatewayModbusLines(Gateway& gateway) : gateway_(gateway) {}
  bool WithState(size_t line, const std::string& name, const std::function<void(const LineState&)>& use) override;
  bool Write(size_t line, const std::string& name, const std::vector<LineWorker::TagWrite>& writes,
             const LineWorker::WritesDone& done, size_t* ahead, std::string* reason) override;

 private:
  Gateway& gateway_;
};

}  // namespace velkd

#endif
