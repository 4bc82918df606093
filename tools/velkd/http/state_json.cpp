#include "http/state_json.h"

#include <math.h>

#include "data_types.h"
#include "json/tag_json.h"

namespace velkd {
namespace {

using nlohmann::ordered_json;

double SecondsSince(std::chrono::system_clock::time_point then, std::chrono::system_clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - then).count();
  return seconds > 0 ? round(seconds * 10.0) / 10.0 : 0.0;
}

ordered_json TextOrNull(const std::string& text) { return text.empty() ? ordered_json() : ordered_json(text); }

}  // namespace

ordered_json LineJson(const LineSnapshot& line, std::chrono::system_clock::time_point now) {
  const LineFile& lineFile = *line.lineFile;
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
  for (size_t d = 0; d < line.devices.size(); ++d) {
    const hostlib::DeviceEntry& entry = lineFile.config.devices[d];
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
    for (size_t t = 0; t < line.tags.size(); ++t) {
      const TagRow& row = lineFile.tags[t];
      if (row.deviceIndex != d) continue;
      const Reading& tag = line.tags[t];
      ordered_json tagJson;
      tagJson["name"] = row.name;
      tagJson["type"] = hostlib::DataTypeName(row.dataType);
      tagJson["polled"] = row.polled;
      tagJson.update(TagReadingJson(tag, row));
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
