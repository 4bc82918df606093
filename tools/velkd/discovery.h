// Home Assistant discovery: one retained config message per tag, so that
// every tag shows up as a sensor of its device, unavailable while the
// device is offline.
#ifndef VELKD_DISCOVERY_H
#define VELKD_DISCOVERY_H

#include <string>

namespace velkd {

struct DiscoveredTag {
  std::string prefix, line, device, deviceType, tag;
};

// homeassistant/sensor/velk_LINE_DEVICE_TAG/config, with every character
// the object identifier may not hold replaced by '_'.
std::string DiscoveryTopic(const DiscoveredTag& tag);
std::string DiscoveryPayload(const DiscoveredTag& tag);

}  // namespace velkd

#endif
