// Home Assistant discovery: one retained config message per tag, so that
// every tag shows up as an entity of its device, unavailable while the
// device is offline or the gateway gone: bits as binary sensors, writable bits as switches,
// writable numbers as number entities, everything else as a sensor.
#ifndef VELKD_DISCOVERY_H
#define VELKD_DISCOVERY_H

#include <stdint.h>

#include <string>

#include "core/tag_units.h"
#include "write_field.h"

namespace velkd {

struct DiscoveredTag {
  std::string prefix, line, device, deviceType, tag;
  int16_t dataType = 0;
  bool writable = false;
  bool polled = true;
  // The command's fixed field of a writable number, when it has one: its
  // range and step.
  const hostlib::WriteField* field = nullptr;
  TagUnits units;  // unit and classes for the entity
};

// "sensor", "binary_sensor", "switch" or "number"; "" for a tag that has
// nothing to show (written only, and no number or bit).
std::string DiscoveryComponent(const DiscoveredTag& tag);

// homeassistant/COMPONENT/PREFIX_LINE_DEVICE_TAG/config, with every character
// the object identifier may not hold replaced by '_'.
std::string DiscoveryTopic(const DiscoveredTag& tag);
std::string DiscoveryPayload(const DiscoveredTag& tag);

}  // namespace velkd

#endif
