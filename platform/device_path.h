// Whether a device name names something that exists, so that a failed
// opening can be told apart: a device that is not there, or one that is
// held by another program (or closed to this user).
#ifndef VELK_PLATFORM_DEVICE_PATH_H
#define VELK_PLATFORM_DEVICE_PATH_H

namespace platform {

// `name` as SerialApi::Open takes it ("ttyUSB0", "/dev/pts/3", "COM3",
// "\\.\COM3"). False for null or empty.
bool DeviceExists(const char* name);

}  // namespace platform

#endif
