// Configuration-time checks of what the user typed: device address texts and
// tag address texts. A rejected text leaves its code pending for
// GetErrorText; success leaves a pending code alone.
#include "driver/line_driver.h"
#include "families/family.h"
#include "protocol/device_address.h"
#include "protocol/tag_parsing.h"

namespace driver {

int16_t LineDriver::ParseTag(const velk::TagConfig* config, velk::TagDef* def) {
  // A host that hands no record gets the answer of a text naming no register.
  if (config == nullptr || def == nullptr) {
    errorCode = protocol::kTagAddressRejected;
    return protocol::kTagAddressRejected;
  }
  const protocol::TagParseResult parsed =
      families::FamilyFor(config->moduleType, sizeof config->moduleType).parseTag(*config, *def);
  if (parsed.errorCode != 0) errorCode = parsed.errorCode;
  return parsed.result;
}

int32_t LineDriver::ParseDeviceAddress(const char* text, velk::DeviceRecord* device) {
  const int32_t code = protocol::ParseDeviceAddress(text, device);
  if (code == 0) return 1;
  errorCode = code;
  return 0;
}

}  // namespace driver
