#include "http/state_json.h"

#include <math.h>
#include <time.h>

#include "data_types.h"
#include "reading_json.h"
#include "value_format.h"

namespace velkd {
namespace {

using nlohmann::ordered_json;

double SecondsSince(std::chrono::system_clock::time_point then, std::chrono::system_clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - then).count();
  return seconds > 0 ? round(seconds * 10.0) / 10.0 : 0.0;
}

ordered_json TextOrNull(const std::string& text) { return text.empty() ? ordered_json() : ordered_json(text); }

}  // namespace

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

ordered_json TagReadingJson(const TagState& tag, const TagUnits& units) {
  ordered_json json;
  if (tag.read) {
    // A failed reading may still be "bad" without a word of its own.
    json = hostlib::ReadingJson(EngineeringValue(units, tag.value), tag.quality, tag.good,
                                tag.reason.empty() ? "failed" : tag.reason, tag.fileTime);
  } else {
    json["value"] = ordered_json();
    json["quality"] = tag.quality;
    json["good"] = false;
    json["reason"] = "no reading yet";
    json["ts"] = ordered_json();
  }
  AddUnit(units, &json);
  return json;
}

ordered_json LineJson(const LineSpec& lineSpec, const LineSnapshot& line, std::chrono::system_clock::time_point now) {
  ordered_json json;
  json["name"] = line.name;
  json["file"] = line.path;
  json["port_open"] = line.portOpen;
  json["port_error"] = TextOrNull(line.portError);
  json["exchanges"] = line.exchanges;
  json["bytes_sent"] = line.bytesSent;
  json["bytes_received"] = line.bytesReceived;
  json["writes_queued"] = line.writesQueued;
  json["devices"] = ordered_json::array();
  for (size_t d = 0; d < lineSpec.config.devices.size() && d < line.devices.size(); ++d) {
    const hostlib::DeviceEntry& entry = lineSpec.config.devices[d];
    const DeviceState& state = line.devices[d];
    ordered_json device;
    device["name"] = entry.name;
    device["type"] = entry.type;
    device["address"] = entry.address;
    device["state"] = !state.known ? "unknown" : state.online ? "online" : "offline";
    device["reason"] = TextOrNull(state.reason);
    device["last_good"] = state.everGood ? ordered_json(IsoTime(state.lastGood)) : ordered_json();
    device["last_good_s"] = state.everGood ? ordered_json(SecondsSince(state.lastGood, now)) : ordered_json();
    device["packets"] = state.packets;
    device["packets_by_reason"] = ordered_json::object();
    for (const auto& [reason, count] : state.packetsByReason) device["packets_by_reason"][reason] = count;
    device["tags"] = ordered_json::array();
    for (size_t t = 0; t < lineSpec.config.tags.size() && t < line.tags.size(); ++t) {
      const hostlib::TagEntry& tagEntry = lineSpec.config.tags[t];
      if (tagEntry.deviceIndex != d) continue;
      const TagState& tag = line.tags[t];
      ordered_json tagJson;
      tagJson["name"] = tagEntry.name;
      tagJson["type"] = hostlib::DataTypeName(tagEntry.dataType);
      tagJson["polled"] = tagEntry.poll;
      tagJson.update(TagReadingJson(tag, lineSpec.units[t]));
      tagJson["last_good"] = tag.everGood ? ordered_json(IsoTime(tag.lastGood)) : ordered_json();
      tagJson["last_good_s"] = tag.everGood ? ordered_json(SecondsSince(tag.lastGood, now)) : ordered_json();
      tagJson["age_s"] = tag.read ? ordered_json(SecondsSince(tag.readAt, now)) : ordered_json();
      device["tags"].push_back(tagJson);
    }
    json["devices"].push_back(device);
  }
  return json;
}

}  // namespace velkd
