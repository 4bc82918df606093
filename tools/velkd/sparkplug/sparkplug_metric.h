// One tag as a Sparkplug metric: the datatype its values take, the value
// itself, and the checks a written value passes before it goes to the line.
#ifndef VELKD_SPARKPLUG_METRIC_H
#define VELKD_SPARKPLUG_METRIC_H

#include <stdint.h>

#include <string>
#include <variant>

#include "write_field.h"

namespace org::eclipse::tahu::protobuf {
class Payload_Metric;
}

namespace velkd::sparkplug {

using Metric = org::eclipse::tahu::protobuf::Payload_Metric;

// The datatype numbers of the Sparkplug schema that velkd uses.
enum DataType : uint32_t {
  kInt8 = 1,
  kInt16 = 2,
  kInt32 = 3,
  kInt64 = 4,
  kUInt8 = 5,
  kUInt16 = 6,
  kUInt32 = 7,
  kUInt64 = 8,
  kFloat = 9,
  kDouble = 10,
  kBoolean = 11,
  kString = 12,
};

// A value as the core gives it: bits as bool, integers as int64, numbers
// with a fraction (and every scaled tag's engineering value) as double.
using MetricValue = std::variant<bool, int64_t, double, std::string>;

// What the face knows of one tag, fixed while its line is loaded.
struct MetricFact {
  std::string name;
  int16_t velkType = 0;  // VELK_TYPE_*
  bool scaled = false;   // published as value * scale + offset
  std::string unit;      // empty: none
  bool writable = false;
  // The fixed-width field a write of this tag travels in; null when none.
  const hostlib::WriteField* field = nullptr;
};

// A tag's reading as the face needs it. A reading that is not good carries
// no value the face may show.
struct MetricReading {
  bool good = false;
  MetricValue value;
  uint64_t timeMs = 0;  // when the module gave it (or when it went bad)
};

// The Sparkplug datatype of a tag's published values: a scaled number is a
// Double, whatever its type on the line; 0 for a type velkd does not know.
DataType MetricDataType(const MetricFact& fact);

// Sets the value field `type` takes (a signed integer as its two's
// complement, as the schema carries it).
void SetMetricValue(DataType type, const MetricValue& value, Metric* metric);

// The value of a metric written to a tag, checked as a write through the
// other faces is: the metric must carry the tag's datatype (when it names
// one) in its field, and the number must fit the tag's type and the write
// field. False with a reason when it does not.
bool WrittenValue(const MetricFact& fact, const Metric& metric, MetricValue* value, std::string* reason);

// "12.5", "true", "-3": for the log.
std::string ValueText(const MetricValue& value);

}  // namespace velkd::sparkplug

#endif
