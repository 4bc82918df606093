// Everything the gateway knows of one tag from its line file, in one row:
// what the driver reads (device, register, data type), how often, whether a
// face may write it, and its engineering form. A line keeps one row per
// tag, in the file's order; faces take what they need from it.
#ifndef VELKD_TAG_ROW_H
#define VELKD_TAG_ROW_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "core/tag_units.h"

namespace velkd {

struct TagRow {
  std::string name;
  std::string device;
  size_t deviceIndex = 0;
  std::string deviceType;
  std::string address;  // the register as the file names it, e.g. "AI3"
  int16_t dataType = 0;
  bool polled = true;  // false: a tag that is only written
  uint32_t intervalMs = 1000;
  bool writable = false;
  TagUnits units;  // unit, scale and offset, Home Assistant's classes
};

}  // namespace velkd

#endif
