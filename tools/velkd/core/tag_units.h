// A tag's engineering form, as the line file gives it: the unit, the scale
// and offset that turn the module's number into the published one, and the
// classes Home Assistant keeps statistics by.
//
//   [[tag]]
//   unit = "°C"
//   scale = 0.1            # published = module's value * scale + offset
//   offset = -40.0
//   device_class = "temperature"
//   state_class = "measurement"   # or "total", "total_increasing"
//
// The module's value stays what the line state holds; each face turns it
// into the engineering value with EngineeringValue when it publishes it.
// MQTT, /api/state, the page and Prometheus serve the engineering value.
// Modbus serves it for float tags (two registers, IEEE 754); an integer tag
// keeps its register and the module's count in it, since a scaled value has
// no exact integer form: a client applies the scale --modbus-map lists.
// A written tag takes no scale or offset: a write sends what it is given.
#ifndef VELKD_TAG_UNITS_H
#define VELKD_TAG_UNITS_H

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <toml++/toml.h>
#include <vector>

#include "line_config.h"

namespace velkd {

struct FileProblem;

struct TagUnits {
  std::string unit;  // empty: none given
  double scale = 1.0;
  double offset = 0.0;
  std::string deviceClass;
  std::string stateClass;

  bool Scaled() const { return scale != 1.0 || offset != 0.0; }
};

// Reads unit, scale, offset, device_class and state_class of each [[tag]]
// of `root` (the file at `path`, whose tags `config` holds in the file's
// order). A scale of 0, a number that is not finite, a scale on a text or a
// bit, or on a tag in `writable`, is a problem at its line.
void ReadTagUnits(const std::string& path, const toml::table& root, const hostlib::LineConfig& config,
                  const std::vector<bool>& writable, std::vector<TagUnits>* units, std::vector<FileProblem>* problems);

// The published form of a module's value: value * scale + offset, to the 15
// digits a double holds for certain; anything not a number, and any tag
// without scaling, unchanged. A result that is not finite is null, which no
// face serves as a value.
nlohmann::ordered_json EngineeringValue(const TagUnits& units, const nlohmann::ordered_json& value);

// Adds "unit" to a reading's JSON (null when the tag has none).
void AddUnit(const TagUnits& units, nlohmann::ordered_json* reading);

}  // namespace velkd

#endif
