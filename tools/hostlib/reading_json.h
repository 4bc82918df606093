// A tag's reading as JSON, one shape for every program that prints or
// publishes one (velkhost poll --json, velkd's topics, its HTTP state):
//   {"value": 21.5, "quality": 192, "good": true, "reason": null,
//    "ts": "2026-05-01T12:34:56.789Z"}
// value: the number, text or null (a float that is not finite); quality: the
// item's quality code, 192 good; good: the driver stored a good value in
// this exchange; reason: null when good, else why not ("no answer",
// "refused", ...); ts: the item's time stamp in UTC.
#ifndef VELK_HOSTLIB_READING_JSON_H
#define VELK_HOSTLIB_READING_JSON_H

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

namespace hostlib {

nlohmann::ordered_json ReadingJson(const nlohmann::ordered_json& value, uint16_t quality, bool good,
                                   const std::string& reason, uint64_t fileTime);

}  // namespace hostlib

#endif
