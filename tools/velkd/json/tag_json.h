// A reading in the JSON shape the tools share, for the faces that write
// JSON (MQTT topics, /api/state and the page): built from the core's typed
// reading at the moment a face writes it.
#ifndef VELKD_TAG_JSON_H
#define VELKD_TAG_JSON_H

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "core/reading.h"
#include "core/tag_row.h"

namespace velkd {

// A number, a text, or null for no value.
nlohmann::ordered_json ValueJson(const Value& value);

// {"value":…, "quality":192, "good":true, "reason":null, "ts":"…Z",
// "unit":…}: the engineering value, the last good one, which "good":false
// marks as stale.
nlohmann::ordered_json TagReadingJson(const Reading& reading, const TagRow& row);

// "2026-12-08T04:05:06.789Z"
std::string IsoTime(std::chrono::system_clock::time_point when);

}  // namespace velkd

#endif
