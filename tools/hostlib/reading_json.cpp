#include "reading_json.h"

#include "value_format.h"

namespace hostlib {

nlohmann::ordered_json ReadingJson(const nlohmann::ordered_json& value, uint16_t quality, bool good,
                                   const std::string& reason, uint64_t fileTime) {
  nlohmann::ordered_json json;
  json["value"] = value;
  json["quality"] = quality;
  json["good"] = good;
  json["reason"] = good ? nlohmann::ordered_json() : nlohmann::ordered_json(reason);
  json["ts"] = FileTimeIso(fileTime);
  return json;
}

}  // namespace hostlib
