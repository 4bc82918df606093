// The gateway's figures in the Prometheus text format: per line and device
// from the lines' state, the gateway's own faces, and the process's figures
// from /proc. Samples of one metric stay together whatever the number of
// lines, as the format asks.
#ifndef VELKD_METRICS_H
#define VELKD_METRICS_H

#include <stddef.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/line_state.h"
#include "core/store_face.h"

namespace velkd {

class MetricsText {
 public:
  void AddLine(const LineSnapshot& line, std::chrono::system_clock::time_point now);
  void AddMqtt(bool connected);
  // Only where the Modbus face is on.
  void AddModbusClients(size_t clients);
  // Only where velkd keeps a store.
  void AddStore(const StoreStatus& store, std::chrono::system_clock::time_point now);
  // CPU time, memory, descriptors and start time of this process.
  void AddProcess();
  std::string Text() const;

 private:
  struct Family {
    std::string name;
    const char* type;
    const char* help;
    std::string samples;
  };
  // `labels` is the inside of the braces, already escaped; empty for none.
  void Sample(const char* name, const char* type, const char* help, const std::string& suffix,
              const std::string& labels, const std::string& value);

  std::vector<Family> families_;
};

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);

}  // namespace velkd

#endif
