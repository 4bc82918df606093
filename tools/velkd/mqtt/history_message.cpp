#include "mqtt/history_message.h"

#include <type_traits>

#include <nlohmann/json.hpp>

#include "json/tag_json.h"

namespace velkd {
namespace {

using nlohmann::ordered_json;

ordered_json StoredJson(const StoredValue& value) {
  return std::visit(
      [](const auto& v) -> ordered_json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) return nullptr;
        // A bit goes out as 0 or 1, as on the live topic.
        else if constexpr (std::is_same_v<T, bool>)
          return v ? 1 : 0;
        else
          return v;
      },
      value);
}

ordered_json UnitOf(const std::string& key, const Plant& plant) {
  const size_t first = key.find('/');
  const size_t last = key.rfind('/');
  if (first == std::string::npos || last == first) return nullptr;
  const LineWorker* line = plant.Find(key.substr(0, first));
  if (line == nullptr) return nullptr;
  const int tag = line->lineFile().config.FindTag(key.substr(last + 1));
  if (tag < 0) return nullptr;
  const std::string& unit = line->lineFile().tags[static_cast<size_t>(tag)].units.unit;
  return unit.empty() ? ordered_json() : ordered_json(unit);
}

}  // namespace

const char kMqttStream[] = "mqtt";

StoredRecord OutcomeRecord(const std::string& prefix, const std::string& topic, const std::string& payload) {
  StoredRecord record;
  record.stream = kMqttStream;
  record.kind = RecordKind::kWriteOutcome;
  record.key = topic.compare(0, prefix.size() + 1, prefix + "/") == 0 ? topic.substr(prefix.size() + 1) : topic;
  record.value = payload;
  record.timeMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  return record;
}

Message HistoryMessage(const StoredRecord& record, const std::string& prefix, const Plant& plant) {
  Message message;
  message.topic = prefix + "/" + record.key;
  if (record.kind == RecordKind::kWriteOutcome) {
    const std::string* payload = std::get_if<std::string>(&record.value);
    message.payload = payload != nullptr ? *payload : std::string();
    return message;
  }
  ordered_json json;
  json["value"] = StoredJson(record.value);
  json["quality"] = record.quality;
  json["good"] = record.reason.empty();
  json["reason"] = record.reason.empty() ? ordered_json() : ordered_json(record.reason);
  json["ts"] = IsoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(record.timeMs)));
  json["unit"] = UnitOf(record.key, plant);
  json["historical"] = true;
  message.payload = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return message;
}

}  // namespace velkd
