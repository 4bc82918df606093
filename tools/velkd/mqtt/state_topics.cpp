#include "mqtt/state_topics.h"

#include <math.h>

#include "json/tag_json.h"

namespace velkd {
namespace {

std::string Dump(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Nothing of the reading changed, its time stamp included.
bool SameReading(const Reading& a, const Reading& b) {
  return a.readAt == b.readAt && a.fileTime == b.fileTime && a.good == b.good && a.quality == b.quality &&
         a.reason == b.reason && a.engineering == b.engineering;
}

}  // namespace

std::string DeviceTopic(const std::string& prefix, const LineFile& line, size_t device) {
  return prefix + "/" + line.name + "/" + line.config.devices[device].name;
}

std::string TagTopic(const std::string& prefix, const LineFile& line, size_t tag) {
  return DeviceTopic(prefix, line, line.tags[tag].deviceIndex) + "/" + line.tags[tag].name;
}

void RetainLineState(const LineSnapshot& line, const LineSnapshot* before, const std::string& prefix,
                     TopicStore& store) {
  const LineFile& lineFile = *line.lineFile;
  // A snapshot follows each packet, which read a few of the line's tags.
  const bool sameLine =
      before != nullptr && before->lineFile == line.lineFile && before->tags.size() == line.tags.size();
  for (size_t t = 0; t < line.tags.size(); ++t) {
    const Reading& tag = line.tags[t];
    if (!tag.read || (sameLine && SameReading(tag, before->tags[t]))) continue;
    // The time stamp alone is no change: an unchanged reading goes out again
    // at the store's longest interval.
    const std::string key = Dump(ValueJson(tag.engineering)) + "|" + std::to_string(tag.quality) +
                            (tag.good ? "|good|" : "|bad|") + tag.reason;
    store.Set(TagTopic(prefix, lineFile, t), Dump(TagReadingJson(tag, lineFile.tags[t])), key);
  }
  const auto clock = std::chrono::system_clock::now();
  for (size_t d = 0; d < line.devices.size(); ++d) {
    const DeviceState& device = line.devices[d];
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
    store.Set(DeviceTopic(prefix, lineFile, d) + "/$state", Dump(json),
              json["state"].get<std::string>() + "|" + device.reason);
  }
}

}  // namespace velkd
