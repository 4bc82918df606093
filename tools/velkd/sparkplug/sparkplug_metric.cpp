#include "sparkplug/sparkplug_metric.h"

#include <math.h>

#include <limits>
#include <sstream>

#include "sparkplug_b.pb.h"
#include "velk4000/velk4000_c.h"

namespace velkd::sparkplug {
namespace {

struct TypeRow {
  int16_t velkType;
  DataType dataType;
  int64_t low;
  int64_t high;
};

// Each line type and the narrowest Sparkplug type that holds all its values.
const TypeRow kTypes[] = {
    {VELK_TYPE_BIT, kBoolean, 0, 1},
    {VELK_TYPE_BYTE, kUInt8, 0, 255},
    {VELK_TYPE_SHORT, kInt16, -32768, 32767},
    {VELK_TYPE_WORD, kUInt16, 0, 65535},
    {VELK_TYPE_LONG, kInt32, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()},
    {VELK_TYPE_FLOAT, kFloat, 0, 0},
    {VELK_TYPE_STRING, kString, 0, 0},
};

const TypeRow* RowOf(int16_t velkType) {
  for (const TypeRow& row : kTypes)
    if (row.velkType == velkType) return &row;
  return nullptr;
}

double AsDouble(const MetricValue& value) {
  if (const bool* b = std::get_if<bool>(&value)) return *b ? 1.0 : 0.0;
  if (const int64_t* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  if (const double* d = std::get_if<double>(&value)) return *d;
  return 0.0;
}

int64_t AsInteger(const MetricValue& value) {
  if (const int64_t* i = std::get_if<int64_t>(&value)) return *i;
  const double d = AsDouble(value);
  return isfinite(d) ? static_cast<int64_t>(llround(d)) : 0;
}

const char* TypeName(DataType type) {
  switch (type) {
    case kBoolean: return "Boolean";
    case kUInt8: return "UInt8";
    case kInt16: return "Int16";
    case kUInt16: return "UInt16";
    case kInt32: return "Int32";
    case kFloat: return "Float";
    case kDouble: return "Double";
    case kString: return "String";
    default: return "another type";
  }
}

}  // namespace

DataType MetricDataType(const MetricFact& fact) {
  const TypeRow* row = RowOf(fact.velkType);
  if (row == nullptr) return static_cast<DataType>(0);
  if (fact.scaled && row->dataType != kBoolean && row->dataType != kString) return kDouble;
  return row->dataType;
}

void SetMetricValue(DataType type, const MetricValue& value, Metric* metric) {
  switch (type) {
    case kBoolean: metric->set_boolean_value(AsDouble(value) != 0.0); break;
    case kInt8:
    case kInt16:
    case kInt32: metric->set_int_value(static_cast<uint32_t>(static_cast<int32_t>(AsInteger(value)))); break;
    case kUInt8:
    case kUInt16: metric->set_int_value(static_cast<uint32_t>(AsInteger(value))); break;
    // The reference payload libraries carry a UInt32 in the 64-bit field.
    case kUInt32:
    case kInt64:
    case kUInt64: metric->set_long_value(static_cast<uint64_t>(AsInteger(value))); break;
    case kFloat: metric->set_float_value(static_cast<float>(AsDouble(value))); break;
    case kDouble: metric->set_double_value(AsDouble(value)); break;
    case kString: {
      const std::string* text = std::get_if<std::string>(&value);
      metric->set_string_value(text != nullptr ? *text : ValueText(value));
      break;
    }
  }
}

bool WrittenValue(const MetricFact& fact, const Metric& metric, MetricValue* value, std::string* reason) {
  const TypeRow* row = RowOf(fact.velkType);
  const DataType type = MetricDataType(fact);
  if (row == nullptr || type == kDouble) {
    *reason = "'" + fact.name + "' cannot be written";
    return false;
  }
  if (metric.has_datatype() && metric.datatype() != type) {
    *reason = "'" + fact.name + "' takes " + TypeName(type) + ", not datatype " + std::to_string(metric.datatype());
    return false;
  }
  const auto wrongType = [&] {
    *reason = "'" + fact.name + "' takes a " + TypeName(type) + " value";
    return false;
  };
  if (metric.is_null()) return wrongType();
  double number = 0.0;
  switch (type) {
    case kBoolean:
      if (metric.value_case() != Metric::kBooleanValue) return wrongType();
      *value = metric.boolean_value();
      return true;
    case kString:
      if (metric.value_case() != Metric::kStringValue) return wrongType();
      *value = metric.string_value();
      return true;
    case kFloat:
      if (metric.value_case() == Metric::kFloatValue)
        number = metric.float_value();
      else if (metric.value_case() == Metric::kDoubleValue)
        number = metric.double_value();
      else
        return wrongType();
      if (!isfinite(number)) {
        *reason = "'" + fact.name + "' takes a finite number";
        return false;
      }
      break;
    default: {
      int64_t whole = 0;
      // The schema carries a signed type's negative values as the two's
      // complement of the 32 or 64 bits the field has.
      const bool isSigned = row->low < 0;
      if (metric.value_case() == Metric::kIntValue)
        whole = isSigned ? static_cast<int32_t>(metric.int_value()) : static_cast<int64_t>(metric.int_value());
      else if (metric.value_case() == Metric::kLongValue)
        whole = static_cast<int64_t>(metric.long_value());
      else
        return wrongType();
      if (whole < row->low || whole > row->high) {
        *reason = "'" + fact.name + "' takes " + std::to_string(row->low) + " to " + std::to_string(row->high) +
                  ", not " + std::to_string(whole);
        return false;
      }
      number = static_cast<double>(whole);
      *value = whole;
      break;
    }
  }
  if (fact.field != nullptr && !hostlib::FitsWriteField(*fact.field, number, reason)) return false;
  if (type == kFloat) *value = number;
  return true;
}

std::string ValueText(const MetricValue& value) {
  if (const bool* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  if (const int64_t* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  if (const std::string* s = std::get_if<std::string>(&value)) return *s;
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text.precision(9);
  text << std::get<double>(value);
  return text.str();
}

}  // namespace velkd::sparkplug
