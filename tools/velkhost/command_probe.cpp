#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "commands.h"
#include "line_check.h"
#include "module_identity.h"
#include "outcome_text.h"

namespace velkhost {

int RunProbe(const LibraryOptions& libraryOptions, const LineOptions& line, const std::string& deviceName) {
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  const int index = session.config.FindDevice(deviceName);
  if (index < 0) {
    std::string names;
    for (const DeviceEntry& d : session.config.devices) names += (names.empty() ? "" : ", ") + d.name;
    fprintf(stderr, "velkhost: %s has no device '%s' (devices: %s)\n", session.config.path.c_str(),
            deviceName.c_str(), names.empty() ? "none" : names.c_str());
    return kExitConfig;
  }
  status = session.Connect();
  if (status != kExitOk) return status;
  const DeviceEntry& device = session.config.devices[static_cast<size_t>(index)];
  velk::DeviceRecord record = session.checked.devices[static_cast<size_t>(index)];
  const int32_t address = static_cast<int32_t>(record.address);
  // The driver's display probe asks the display at address 02, whatever the
  // device's own address: its verdict is about that display.
  if (strcasecmp(device.type.c_str(), "Data7210") == 0)
    fprintf(stderr,
            "velkhost: note: the driver probes a Data7210 at address 02, not at this device's address %s; to check "
            "this display, read its name with a tag of register MdNameM\n",
            device.address.c_str());
  if (session.driver->d->ProbeDevice(device.type.c_str(), address, &record) != 1) {
    const int32_t reason = session.driver->LastOutcome();
    if (reason == velk::kOutcomeNoAnswer || reason == velk::kOutcomeCount)
      fprintf(stderr,
              "velkhost: device '%s' (%s at address %s) did not answer within %d ms. Check its address, baud rate, "
              "checksum setting and the wiring (A/B lines, termination, power).\n",
              device.name.c_str(), device.type.c_str(), device.address.c_str(), session.config.port.timeoutMs);
    else
      fprintf(stderr, "velkhost: device '%s' (%s at address %s): %s: %s\n", device.name.c_str(), device.type.c_str(),
              device.address.c_str(), OutcomeReason(reason), OutcomeHint(reason));
    return kExitFailure;
  }
  printf("device '%s' (%s at address %s) answered\n", device.name.c_str(), device.type.c_str(),
         device.address.c_str());
  const ModuleName name = ReadModuleName(session.library, *session.driver, session.config.port, device.type,
                                          address, device.address, line.firstInterface);
  if (!name.text.empty()) printf("  name: %s\n", name.text.c_str());
  if (!name.answered && name.reason == velk::kOutcomeChecksumMismatch && !IsDataModule(device.type)) {
    // Present, but the line file's checksum setting does not match it.
    const std::string other = std::to_string(address) + (record.noChecksum != 0 ? "" : ".1");
    fprintf(stderr,
            "velkhost: device '%s' answers with a different checksum setting: its reading failed with a checksum "
            "mismatch; try address \"%s\"\n",
            device.name.c_str(), other.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace velkhost
