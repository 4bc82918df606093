#include "write_request.h"

#include <nlohmann/json.hpp>

namespace velkd {
namespace {

// More than any value of a tag's type, text values included, needs.
const size_t kMaxPayload = 256;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool ScalarText(const nlohmann::json& value, std::string* text) {
  if (value.is_string()) *text = value.get<std::string>();
  else if (value.is_boolean()) *text = value.get<bool>() ? "1" : "0";
  else if (value.is_number()) *text = value.dump();
  else return false;
  return true;
}

}  // namespace

bool WriteValueText(const std::string& payload, std::string* text, std::string* reason) {
  if (payload.size() > kMaxPayload) {
    *reason = "payload longer than " + std::to_string(kMaxPayload) + " bytes";
    return false;
  }
  const std::string trimmed = Trim(payload);
  if (trimmed.empty()) {
    *reason = "empty payload";
    return false;
  }
  const nlohmann::json parsed = nlohmann::json::parse(trimmed, nullptr, false);
  if (parsed.is_discarded()) {
    *text = trimmed;  // a bare text such as OPEN
    return true;
  }
  if (parsed.is_object()) {
    const auto value = parsed.find("value");
    if (value != parsed.end() && ScalarText(*value, text)) return true;
    *reason = "an object must hold \"value\" with a number or a text";
    return false;
  }
  if (ScalarText(parsed, text)) return true;
  *reason = "expected a number or a text";
  return false;
}

std::string WriteResultJson(bool ok, const std::string& value, const std::string& reason, const std::string& ts) {
  nlohmann::ordered_json result;
  result["ok"] = ok;
  result["value"] = value;
  result["reason"] = ok ? nlohmann::ordered_json() : nlohmann::ordered_json(reason);
  result["ts"] = ts;
  return result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velkd
