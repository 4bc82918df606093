// Placeholder until the probe is built.
#include "driver/velk4000_pro.h"
namespace driver {
int32_t CVelk4000Pro::ProbeDevice(const char*, int32_t, velk::DeviceRecord*) { return 0; }
int32_t CVelk4000Pro::DisableDeviceAlarm(const char*, int32_t, uintptr_t) { return 0; }
}  // namespace driver
