#include "value_format.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <chrono>

#include "text_encoding.h"

namespace hostlib {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
const int64_t kEpochDifference = 11644473600LL;

uint32_t Slot32(const velk::ValueSlot& slot) {
  return static_cast<uint32_t>(slot.raw[0]) | static_cast<uint32_t>(slot.raw[1]) << 8 |
         static_cast<uint32_t>(slot.raw[2]) << 16 | static_cast<uint32_t>(slot.raw[3]) << 24;
}

void SetSlot32(velk::ValueSlot* slot, uint32_t value) {
  for (int i = 0; i < 4; ++i) slot->raw[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool ParseInteger(const std::string& text, int64_t low, int64_t high, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long value = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

bool SplitFileTime(uint64_t fileTime, time_t* seconds, int* millis) {
  if (fileTime == 0) return false;
  const int64_t unixMs = static_cast<int64_t>(fileTime / 10000) - kEpochDifference * 1000;
  *seconds = static_cast<time_t>(unixMs / 1000);
  *millis = static_cast<int>(unixMs % 1000);
  if (*millis < 0) {
    *millis += 1000;
    *seconds -= 1;
  }
  return true;
}

// The shortest decimal text that reads back as the same single-precision
// value: 5.121f shows as 5.121, not as the double nearest to it.
std::string ShortestFloatText(float value) {
  char text[48];
  for (int precision = 6; precision <= 9; ++precision) {
    snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(value));
    if (strtof(text, nullptr) == value) break;
  }
  return text;
}

}  // namespace

TagValue DecodeValue(const velk::ValueSlot& slot, int16_t dataType, const DriverLibrary& library) {
  TagValue value;
  const uint32_t raw = Slot32(slot);
  switch (dataType) {
    case velk::kTypeByte: value.integer = raw & 0xFF; break;
    case velk::kTypeShort: value.integer = static_cast<int16_t>(raw & 0xFFFF); break;
    case velk::kTypeWord: value.integer = raw; break;
    case velk::kTypeFloat: {
      value.kind = TagValue::kFloat;
      memcpy(&value.real, &raw, sizeof value.real);
      break;
    }
    case velk::kTypeString:
      value.kind = TagValue::kText;
      value.atom = static_cast<uint16_t>(raw & 0xFFFF);
      value.text = DisplayText(library.AtomText(value.atom));
      break;
    default:  // bit and long: the whole slot as a signed integer
      value.integer = static_cast<int32_t>(raw);
      break;
  }
  return value;
}

std::string ValueText(const TagValue& value) {
  switch (value.kind) {
    case TagValue::kFloat: return ShortestFloatText(value.real);
    case TagValue::kText: return "\"" + value.text + "\"";
    default: return std::to_string(value.integer);
  }
}

nlohmann::ordered_json ValueJson(const TagValue& value) {
  switch (value.kind) {
    case TagValue::kFloat:
      // JSON has no infinity or NaN; a module's garbage must not make the
      // line unreadable.
      if (!isfinite(value.real)) return nullptr;
      return strtod(ShortestFloatText(value.real).c_str(), nullptr);
    case TagValue::kText: return value.text;
    default: return value.integer;
  }
}

bool EncodeValue(const std::string& text, int16_t dataType, velk::ValueSlot* slot, std::string* error) {
  memset(slot, 0, sizeof *slot);
  int64_t integer = 0;
  switch (dataType) {
    case velk::kTypeBit:
      if (strcasecmp(text.c_str(), "on") == 0 || strcasecmp(text.c_str(), "true") == 0)
        integer = 1;
      else if (strcasecmp(text.c_str(), "off") == 0 || strcasecmp(text.c_str(), "false") == 0)
        integer = 0;
      else if (!ParseInteger(text, 0, 1, &integer)) {
        *error = "a bit takes 0 or 1 (also on/off, true/false)";
        return false;
      }
      SetSlot32(slot, static_cast<uint32_t>(integer));
      return true;
    case velk::kTypeByte:
      if (!ParseInteger(text, 0, 255, &integer)) {
        *error = "a byte takes 0 to 255 (or 0x00 to 0xFF)";
        return false;
      }
      SetSlot32(slot, static_cast<uint32_t>(integer));
      return true;
    case velk::kTypeShort:
      if (!ParseInteger(text, -32768, 32767, &integer)) {
        *error = "a short takes -32768 to 32767";
        return false;
      }
      SetSlot32(slot, static_cast<uint16_t>(integer));
      return true;
    case velk::kTypeWord:
      if (!ParseInteger(text, 0, 0xFFFFFFFFLL, &integer)) {
        *error = "a word takes 0 to 4294967295";
        return false;
      }
      SetSlot32(slot, static_cast<uint32_t>(integer));
      return true;
    case velk::kTypeLong:
      if (!ParseInteger(text, INT32_MIN, INT32_MAX, &integer)) {
        *error = "a long takes -2147483648 to 2147483647";
        return false;
      }
      SetSlot32(slot, static_cast<uint32_t>(static_cast<int32_t>(integer)));
      return true;
    case velk::kTypeFloat: {
      errno = 0;
      char* end = nullptr;
      const float real = strtof(text.c_str(), &end);
      if (text.empty() || *end != '\0' || errno != 0 || !isfinite(real)) {
        *error = "a float takes a decimal number such as 12.5 or -3e2";
        return false;
      }
      uint32_t raw = 0;
      memcpy(&raw, &real, sizeof raw);
      SetSlot32(slot, raw);
      return true;
    }
    default: *error = "no module register takes a written value of this type"; return false;
  }
}

std::string FileTimeIso(uint64_t fileTime) {
  time_t seconds = 0;
  int millis = 0;
  if (!SplitFileTime(fileTime, &seconds, &millis)) return "-";
  struct tm utc;
  if (gmtime_r(&seconds, &utc) == nullptr) return "-";
  char text[48];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
           utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

std::string FileTimeClock(uint64_t fileTime) {
  time_t seconds = 0;
  int millis = 0;
  if (!SplitFileTime(fileTime, &seconds, &millis)) return "-";
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return "-";
  char text[32];
  snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
  return text;
}

uint64_t FileTimeNowHost() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const int64_t units = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
  return static_cast<uint64_t>(units + kEpochDifference * 10000000LL);
}

}  // namespace hostlib
