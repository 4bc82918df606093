#include "mqtt/state_topics.h"

#include <math.h>

#include "http/state_json.h"

namespace velkd {
namespace {

std::string Dump(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void RetainLineState(LineWorker& line, TopicStore& store) {
  LineSnapshot now;
  if (!line.state().TakeChanged(&now)) return;
  for (size_t t = 0; t < now.tags.size(); ++t) {
    const TagState& tag = now.tags[t];
    if (!tag.read) continue;
    // The time stamp alone is no change: an unchanged reading goes out again
    // at the store's longest interval.
    const std::string key =
        Dump(tag.value) + "|" + std::to_string(tag.quality) + (tag.good ? "|good|" : "|bad|") + tag.reason;
    store.Set(line.TagTopic(t), Dump(TagReadingJson(tag, line.lineSpec().units[t])), key);
  }
  const auto clock = std::chrono::system_clock::now();
  for (size_t d = 0; d < now.devices.size(); ++d) {
    const DeviceState& device = now.devices[d];
    if (!device.known) continue;
    nlohmann::ordered_json json;
    json["state"] = device.online ? "online" : "offline";
    json["reason"] = device.online ? nlohmann::ordered_json() : nlohmann::ordered_json(device.reason);
    if (device.everGood) {
      const double seconds = std::chrono::duration<double>(clock - device.lastGood).count();
      json["last_good_s"] = seconds > 0 ? round(seconds * 10.0) / 10.0 : 0.0;
      // The absolute time too: a subscriber that comes late sees how long a
      // device has been down from the retained message alone.
      json["last_good"] = IsoTime(device.lastGood);
    } else {
      json["last_good_s"] = nullptr;
      json["last_good"] = nullptr;
    }
    store.Set(line.DeviceTopic(d) + "/$state", Dump(json), json["state"].get<std::string>() + "|" + device.reason);
  }
}

}  // namespace velkd
