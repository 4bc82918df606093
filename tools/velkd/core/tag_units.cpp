#include "core/tag_units.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "did_you_mean.h"
#include "core/gateway_config.h"
#include "core/tag_row.h"
#include "velk4000/velk4000.h"

namespace velkd {
namespace {

using hostlib::LineOf;

// Home Assistant's classes are lower-case words joined by '_'.
bool ClassName(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

}  // namespace

void ReadTagUnits(const std::string& path, const toml::table& root, const hostlib::LineConfig& config,
                  std::vector<TagRow>* rows, std::vector<FileProblem>* problems) {
  const toml::array* tags = root.get("tag") ? root.get("tag")->as_array() : nullptr;
  for (size_t t = 0; tags != nullptr && t < tags->size() && t < config.tags.size() && t < rows->size(); ++t) {
    const toml::table* table = tags->get(t)->as_table();
    if (table == nullptr) continue;
    const hostlib::TagEntry& tag = config.tags[t];
    TagUnits& out = (*rows)[t].units;
    const auto problem = [&](const toml::node& node, const std::string& message) {
      problems->push_back({path, LineOf(node), message});
    };
    const auto text = [&](const char* key, std::string* value) {
      const toml::node* node = table->get(key);
      if (node == nullptr) return;
      if (!node->is_string())
        return problem(*node, std::string(key) + " of tag '" + tag.name + "' must be a text in quotes");
      *value = node->as_string()->get();
    };
    text("unit", &out.unit);
    if (out.unit.size() > 32)
      problem(*table->get("unit"), "unit of tag '" + tag.name + "' is longer than 32 characters");
    for (unsigned char c : out.unit)
      if (c < 0x20 || c == 0x7F) {
        problem(*table->get("unit"), "unit of tag '" + tag.name + "' holds a control character");
        break;
      }
    bool numberGiven = false;
    const auto number = [&](const char* key, double* value) {
      const toml::node* node = table->get(key);
      if (node == nullptr) return;
      numberGiven = true;
      const std::optional<double> read = node->value<double>();
      if (!read || node->is_boolean())
        return problem(*node, std::string(key) + " of tag '" + tag.name + "' must be a number");
      if (!isfinite(*read)) return problem(*node, std::string(key) + " of tag '" + tag.name + "' must be finite");
      if (std::string(key) == "scale" && *read == 0.0)
        return problem(*node, "scale of tag '" + tag.name + "' is 0, which would publish 0 whatever the module says");
      *value = *read;
    };
    number("scale", &out.scale);
    number("offset", &out.offset);
    if (numberGiven) {
      const toml::node& at = table->get("scale") ? *table->get("scale") : *table->get("offset");
      if (tag.dataType == velk::kTypeBit || tag.dataType == velk::kTypeString)
        problem(at, "tag '" + tag.name + "' is a " + (tag.dataType == velk::kTypeBit ? "bit" : "text") +
                        ": scale and offset apply to numbers only");
      else if ((*rows)[t].writable)
        problem(at, "tag '" + tag.name +
                        "' is writable, and a write is sent as given: drop scale and offset, or "
                        "the tag from writable");
    }
    text("device_class", &out.deviceClass);
    if (!out.deviceClass.empty() && !ClassName(out.deviceClass))
      problem(*table->get("device_class"), "device_class of tag '" + tag.name +
                                               "' must be a lower-case name such as "
                                               "\"temperature\"");
    text("state_class", &out.stateClass);
    if (!out.stateClass.empty()) {
      const std::vector<std::string> classes = {"measurement", "total", "total_increasing"};
      if (std::find(classes.begin(), classes.end(), out.stateClass) == classes.end())
        problem(*table->get("state_class"), "state_class of tag '" + tag.name + "' is '" + out.stateClass +
                                                "', not one of measurement, total, total_increasing" +
                                                hostlib::DidYouMean(out.stateClass, classes));
    }
  }
}

}  // namespace velkd
