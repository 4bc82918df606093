// Placeholder until tag parsing is built.
#include "driver/velk4000_pro.h"
namespace driver {
int16_t CVelk4000Pro::ParseTag(const velk::TagConfig*, velk::TagDef*) { return 12; }
int32_t CVelk4000Pro::ParseDeviceAddress(const char*, velk::DeviceRecord*) { return 0; }
}  // namespace driver
