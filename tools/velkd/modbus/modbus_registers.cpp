#include "modbus/modbus_registers.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "velk4000/velk4000.h"

namespace velkd {
namespace {

void Split(const ModbusEntry& entry, uint32_t value, uint16_t* registers) {
  const uint16_t high = static_cast<uint16_t>(value >> 16);
  const uint16_t low = static_cast<uint16_t>(value & 0xFFFF);
  registers[0] = entry.lowWordFirst ? low : high;
  registers[1] = entry.lowWordFirst ? high : low;
}

uint32_t Join(const ModbusEntry& entry, const uint16_t* registers) {
  const uint32_t high = entry.lowWordFirst ? registers[1] : registers[0];
  const uint32_t low = entry.lowWordFirst ? registers[0] : registers[1];
  return high << 16 | low;
}

bool Integer(const Value& value, int64_t low, int64_t high, int64_t* out) {
  if (value.kind != Value::kBit && value.kind != Value::kInteger) return false;
  *out = value.integer;
  return *out >= low && *out <= high;
}

}  // namespace

bool ValueToRegisters(const ModbusEntry& entry, const Reading& reading, uint16_t* registers) {
  const Value& value = entry.dataType == velk::kTypeFloat ? reading.engineering : reading.module;
  int64_t integer = 0;
  switch (entry.dataType) {
    case velk::kTypeBit:
      if (!Integer(value, 0, 1, &integer)) return false;
      registers[0] = static_cast<uint16_t>(integer);
      return true;
    case velk::kTypeShort:
      if (!Integer(value, -32768, 32767, &integer)) return false;
      registers[0] = static_cast<uint16_t>(integer);
      return true;
    case velk::kTypeByte:
    case velk::kTypeWord:
      if (!Integer(value, 0, 65535, &integer)) return false;
      registers[0] = static_cast<uint16_t>(integer);
      return true;
    case velk::kTypeLong:
      if (!Integer(value, INT32_MIN, INT32_MAX, &integer)) return false;
      Split(entry, static_cast<uint32_t>(static_cast<int32_t>(integer)), registers);
      return true;
    case velk::kTypeFloat: {
      if (!value.number()) return false;
      // The module's value is the shortest text that reads back as its
      // single-precision value, so this gives that value exactly.
      const float real = static_cast<float>(value.AsDouble());
      if (!isfinite(real)) return false;
      uint32_t raw = 0;
      memcpy(&raw, &real, sizeof raw);
      Split(entry, raw, registers);
      return true;
    }
    case velk::kTypeString: {
      if (value.kind != Value::kText) return false;
      const std::string& text = value.text;
      // A cut text is not the module's text.
      if (text.size() > 2u * entry.count) return false;
      for (uint16_t r = 0; r < entry.count; ++r) {
        const size_t at = 2u * r;
        const uint8_t first = at < text.size() ? static_cast<uint8_t>(text[at]) : 0;
        const uint8_t second = at + 1 < text.size() ? static_cast<uint8_t>(text[at + 1]) : 0;
        registers[r] = static_cast<uint16_t>(first << 8 | second);
      }
      return true;
    }
    default: return false;
  }
}

std::string RegistersToText(const ModbusEntry& entry, const uint16_t* registers) {
  switch (entry.dataType) {
    case velk::kTypeShort: return std::to_string(static_cast<int16_t>(registers[0]));
    case velk::kTypeLong: return std::to_string(static_cast<int32_t>(Join(entry, registers)));
    case velk::kTypeFloat: {
      const uint32_t raw = Join(entry, registers);
      float real = 0.0f;
      memcpy(&real, &raw, sizeof real);
      // Nine digits read back as the same float; "nan" and "inf" are
      // refused by the value check.
      char text[32];
      snprintf(text, sizeof text, "%.9g", static_cast<double>(real));
      return text;
    }
    case velk::kTypeString: {
      std::string text;
      for (uint16_t r = 0; r < entry.count; ++r) {
        text += static_cast<char>(registers[r] >> 8);
        text += static_cast<char>(registers[r] & 0xFF);
      }
      return text.substr(0, text.find('\0'));
    }
    default:  // bit, byte, word
      return std::to_string(registers[0]);
  }
}

}  // namespace velkd
