// The lines' state as JSON for /api/state and the live page: every line,
// its devices with their health and counters, and every tag's reading in
// the shape the tools share for one reading.
#ifndef VELKD_STATE_JSON_H
#define VELKD_STATE_JSON_H

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "core/line_state.h"

namespace velkd {

// One line, its devices and, under each device, its tags.
nlohmann::ordered_json LineJson(const LineSnapshot& line, std::chrono::system_clock::time_point now);

}  // namespace velkd

#endif
