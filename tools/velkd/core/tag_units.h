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
// The line's state keeps both the module's value and the engineering value,
// made once when the reading arrives (reading.h).
// MQTT, /api/state, the page and Prometheus serve the engineering value.
// Modbus serves it for float tags (two registers, IEEE 754); an integer tag
// keeps its register and the module's count in it, since a scaled value has
// no exact integer form: a client applies the scale --modbus-map lists.
// A written tag takes no scale or offset: a write sends what it is given.
#ifndef VELKD_TAG_UNITS_H
#define VELKD_TAG_UNITS_H

#include <stdint.h>

#include <string>
#include <toml++/toml.h>
#include <vector>

#include "line_config.h"

namespace velkd {

struct FileProblem;
struct TagRow;

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
// order) into each row's units. A scale of 0, a number that is not finite,
// a scale on a text or a bit, or on a writable tag, is a problem at its line.
void ReadTagUnits(const std::string& path, const toml::table& root, const hostlib::LineConfig& config,
                  std::vector<TagRow>* rows, std::vector<FileProblem>* problems);

}  // namespace velkd

#endif
