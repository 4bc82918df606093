#include "json/tag_json.h"

#include <stdio.h>
#include <time.h>

#include "reading_json.h"

namespace velkd {

using nlohmann::ordered_json;

ordered_json ValueJson(const Value& value) {
  switch (value.kind) {
    case Value::kBit:
    case Value::kInteger: return value.integer;
    case Value::kReal: return value.real;
    case Value::kText: return value.text;
    default: return nullptr;
  }
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const time_t seconds = static_cast<time_t>(millis / 1000);
  tm utc = {};
  gmtime_r(&seconds, &utc);
  char text[48];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
           utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis % 1000));
  return text;
}

ordered_json TagReadingJson(const Reading& reading, const TagRow& row) {
  ordered_json json;
  if (reading.read) {
    // A failed reading may still be "bad" without a word of its own.
    json = hostlib::ReadingJson(ValueJson(reading.engineering), reading.quality, reading.good,
                                reading.reason.empty() ? "failed" : reading.reason, reading.fileTime);
  } else {
    json["value"] = ordered_json();
    json["quality"] = reading.quality;
    json["good"] = false;
    json["reason"] = "no reading yet";
    json["ts"] = ordered_json();
  }
  json["unit"] = row.units.unit.empty() ? ordered_json() : ordered_json(row.units.unit);
  return json;
}

}  // namespace velkd
