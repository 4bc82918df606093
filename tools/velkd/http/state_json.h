// The lines' state as JSON for /api/state and the live page: every line,
// its devices with their health and counters, and every tag's reading in
// the shape the tools share for one reading.
#ifndef VELKD_STATE_JSON_H
#define VELKD_STATE_JSON_H

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "core/gateway_config.h"
#include "core/line_state.h"

namespace velkd {

// {"value":…, "quality":192, "good":true, "reason":null, "ts":"…Z"}: the
// value is the last good one, which "good":false marks as stale.
nlohmann::ordered_json TagReadingJson(const TagState& tag, const TagUnits& units);

// One line, its devices and, under each device, its tags.
nlohmann::ordered_json LineJson(const LineSpec& lineSpec, const LineSnapshot& line,
                                std::chrono::system_clock::time_point now);

// "2026-12-08T04:05:06.789Z"
std::string IsoTime(std::chrono::system_clock::time_point when);

}  // namespace velkd

#endif
