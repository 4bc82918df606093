#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "module_names.h"
#include "commands.h"
#include "did_you_mean.h"
#include "line_check.h"
#include "module_identity.h"
#include "outcome_text.h"

namespace velkhost {
using namespace hostlib;

namespace {

// The verdict for scripts: one object, whatever became of the probe.
void PrintProbeJson(const DeviceEntry& device, bool answered, const char* reason, const std::string& name) {
  nlohmann::ordered_json json;
  json["device"] = device.name;
  json["type"] = device.type;
  json["address"] = device.address;
  json["answered"] = answered;
  json["reason"] = reason != nullptr ? nlohmann::ordered_json(reason) : nlohmann::ordered_json();
  json["name"] = name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(name);
  printf("%s\n", json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

}  // namespace

int RunProbe(const LibraryOptions& libraryOptions, const LineOptions& line, const std::string& deviceName, bool json) {
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  const int index = session.config.FindDevice(deviceName);
  if (index < 0) {
    std::string names;
    for (const DeviceEntry& d : session.config.devices) names += (names.empty() ? "" : ", ") + d.name;
    std::vector<std::string> all;
    for (const DeviceEntry& d : session.config.devices) all.push_back(d.name);
    fprintf(stderr, "velkhost: %s has no device '%s'%s (devices: %s)\n", session.config.path.c_str(),
            deviceName.c_str(), DidYouMean(deviceName, all).c_str(), names.empty() ? "none" : names.c_str());
    return kExitConfig;
  }
  status = session.Connect();
  if (status != kExitOk) return status;
  const DeviceEntry& device = session.config.devices[static_cast<size_t>(index)];
  velk::DeviceRecord record = session.checked.devices[static_cast<size_t>(index)];
  const int32_t address = static_cast<int32_t>(record.address);
  // The driver's display probe asks the display at address 02, whatever the
  // device's own address: its verdict is about that display.
  if (FamilyOfType(device.type) == ModuleFamily::kData7210)
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
    if (json)
      PrintProbeJson(device, false, OutcomeReason(reason == velk::kOutcomeCount ? velk::kOutcomeNoAnswer : reason), "");
    return kExitFailure;
  }
  if (!json)
    printf("device '%s' (%s at address %s) answered\n", device.name.c_str(), device.type.c_str(),
           device.address.c_str());
  const ModuleName name = ReadModuleName(session.library, *session.driver, session.config.port, device.type, address,
                                         device.address, line.firstInterface);
  if (json)
    PrintProbeJson(device, true, nullptr, name.text);
  else if (!name.text.empty())
    printf("  name: %s\n", name.text.c_str());
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
