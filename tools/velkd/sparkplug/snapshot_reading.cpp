#include "sparkplug/snapshot_reading.h"

#include <chrono>

namespace velkd {

sparkplug::MetricReading SnapshotReading(const Reading& reading, bool online, uint64_t nowMs) {
  sparkplug::MetricReading out;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(reading.readAt.time_since_epoch()).count();
  out.timeMs = ms > 0 ? static_cast<uint64_t>(ms) : nowMs;
  const Value& value = reading.engineering;
  out.good = online && reading.good && value.kind != Value::kNone;
  if (!out.good) return out;
  switch (value.kind) {
    case Value::kBit: out.value = value.integer != 0; break;
    case Value::kInteger: out.value = value.integer; break;
    case Value::kReal: out.value = value.real; break;
    case Value::kText: out.value = value.text; break;
    case Value::kNone: break;
  }
  return out;
}

}  // namespace velkd
