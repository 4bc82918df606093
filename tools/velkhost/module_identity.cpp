#include "module_names.h"
#include "module_identity.h"

#include <strings.h>

#include "line_check.h"
#include "packet_exchange.h"
#include "packet_plan.h"

namespace velkhost {
using namespace hostlib;

bool NameRegisterOf(const std::string& moduleType, int address, std::string* queryType, std::string* tagAddress,
                    int16_t* dataType) {
  *queryType = moduleType;
  const ModuleTypeRow* row = FindModuleType(moduleType);
  if (row == nullptr) return false;
  if (row->family == ModuleFamily::kData7810) {
    *tagAddress = "Name";
    *dataType = velk::kTypeString;
  } else if (row->family == ModuleFamily::kData7210) {
    // A display is addressed by the tag's channel.
    *tagAddress = "MdNameM" + std::to_string(address);
    *dataType = velk::kTypeString;
  } else {
    // The same "$" AA "M" line as the probe; its answer read as a number.
    *queryType = "Velk4015";
    *tagAddress = "MODULE";
    *dataType = velk::kTypeShort;
  }
  return true;
}

ModuleName ReadModuleName(DriverLibrary& library, DriverObject& driver, const PortConfig& port,
                          const std::string& moduleType, int address, const std::string& deviceAddress,
                          bool firstInterface) {
  LineConfig config;
  config.port = port;
  DeviceEntry device;
  device.name = "module";
  device.address = deviceAddress;
  TagEntry tag;
  tag.name = "name";
  tag.device = device.name;
  if (!NameRegisterOf(moduleType, address, &device.type, &tag.address, &tag.dataType)) return ModuleName();
  config.devices.push_back(device);
  config.tags.push_back(tag);

  CheckedLine checked;
  std::vector<ConfigProblem> problems, warnings;
  if (!CheckLine(driver.d, config, &checked, &problems, &warnings)) return ModuleName();
  std::unique_ptr<HostPacket> packet =
      SingleTagPacket(config, checked, 0, 0, firstInterface ? ItemLayout::kTagItem : ItemLayout::kTagItem2);
  const PacketOutcome outcome = RunPacket(driver, *packet);
  const TagReading reading = ReadItem(*packet, 0, outcome, tag.dataType, library);
  ModuleName name;
  name.answered = reading.ok;
  name.reason = outcome.reason;
  if (!reading.ok) return name;
  if (reading.value.kind == TagValue::kText)
    name.text = reading.value.text;
  else if (reading.value.integer != 0)  // a module number; 0 when the answer held letters
    name.text = ValueText(reading.value);
  return name;
}

}  // namespace velkhost
