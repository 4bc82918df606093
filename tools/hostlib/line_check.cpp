#include "line_check.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "data_types.h"
#include "did_you_mean.h"
#include "module_names.h"

namespace hostlib {

std::string PendingErrorText(velk::IDriver* driver) {
  const char* text = driver->GetErrorText();
  if (text == nullptr) return "(the driver gave no error text)";
  // The text lives in the driver's buffer until its next call: copy it now,
  // bounded, since it comes from a separate library.
  return std::string(text, strnlen(text, 512));
}

velk::TagConfig MakeTagConfig(const std::string& moduleType, const std::string& address, int16_t dataType) {
  velk::TagConfig config;
  memset(&config, 0, sizeof config);
  memcpy(config.moduleType, moduleType.data(), std::min(moduleType.size(), sizeof config.moduleType - 1));
  // A text of exactly 128 characters fills the field without a terminator,
  // as the host leaves it.
  memcpy(config.addressText, address.data(), std::min(address.size(), sizeof config.addressText));
  config.dataType = dataType;
  return config;
}

std::string UnknownTypeText(const std::string& type) {
  return "unknown module type '" + type + "': the driver has no register table for it (see `velkhost tables`)" +
         DidYouMean(type, ModuleTypeNames());
}

std::string RegisterHint(velk::IDriver* driver, const std::string& moduleType, const std::string& address,
                         int16_t dataType, int16_t code) {
  const velk::RegisterDef* rows = nullptr;
  int32_t count = 0;
  if (driver->GetRegisterTable(moduleType.c_str(), &rows, &count) != 1 || rows == nullptr) return "";
  count = std::min<int32_t>(count, 4096);
  // The register's name is the address up to its channel; a display's
  // options follow a comma.
  size_t end = 0;
  while (end < address.size() && isalpha(static_cast<unsigned char>(address[end]))) ++end;
  const std::string name = address.substr(0, end);
  const size_t comma = address.find(',');
  const std::string options = comma == std::string::npos ? std::string() : address.substr(comma);
  const velk::RegisterDef* row = nullptr;
  for (int32_t i = 0; i < count && row == nullptr; ++i)
    if (strcasecmp(std::string(rows[i].name, strnlen(rows[i].name, sizeof rows[i].name)).c_str(), name.c_str()) == 0)
      row = &rows[i];
  if (row != nullptr) {
    const std::string known(row->name, strnlen(row->name, sizeof row->name));
    // What the register takes, in place of the driver's general paragraph.
    // The channel as the driver reads it (a leading 0: octal); a channel in
    // range leaves the fault elsewhere, such as a display's options.
    const std::string digits = address.substr(end, std::min(comma, address.size()) - end);
    char* stop = nullptr;
    const long channel = digits.empty() ? -1 : strtol(digits.c_str(), &stop, 0);
    const bool channelOk =
        !digits.empty() && stop != nullptr && *stop == '\0' && channel >= row->minChannel && channel <= row->maxChannel;
    // A register without channels and a number after it reads as no register at all.
    if ((code == kErrorChannel && !channelOk) || (row->minChannel == 0 && row->maxChannel == 0 && !digits.empty() &&
                                                  isdigit(static_cast<unsigned char>(digits[0]))))
      return row->minChannel == 0 && row->maxChannel == 0
                 ? " (" + known + " has no channels: write " + known + " alone)"
                 : " (" + known + " has channels " + std::to_string(row->minChannel) + " to " +
                       std::to_string(row->maxChannel) + ": " + known + std::to_string(row->minChannel) + " to " +
                       known + std::to_string(row->maxChannel) + ")";
    if (code == kErrorDataType) {
      std::string types = TypeMaskNames(row->typeMask);
      for (size_t bar = types.find('|'); bar != std::string::npos; bar = types.find('|', bar))
        types.replace(bar, 1, ", ");
      return " (" + known + " takes " + types + ")";
    }
    return "";
  }
  // Only addresses that exist, and of the tag's type where some register
  // takes it: "A11" on an eight-channel module means AI1, never AI11.
  bool typeFits = false;
  for (int32_t i = 0; i < count; ++i) typeFits = typeFits || (rows[i].typeMask & dataType) != 0;
  std::vector<std::string> addresses;
  for (int32_t i = 0; i < count; ++i) {
    if (typeFits && (rows[i].typeMask & dataType) == 0) continue;
    const std::string known(rows[i].name, strnlen(rows[i].name, sizeof rows[i].name));
    if (rows[i].minChannel == 0 && rows[i].maxChannel == 0) {
      addresses.push_back(known);
      continue;
    }
    for (int32_t channel = rows[i].minChannel; channel <= rows[i].maxChannel && channel - rows[i].minChannel < 256;
         ++channel)
      addresses.push_back(known + std::to_string(channel));
  }
  const std::string closest = ClosestName(address.substr(0, std::min(comma, address.size())), addresses);
  return closest.empty() ? "" : " (did you mean '" + closest + options + "'?)";
}

bool CheckLine(velk::IDriver* driver, const LineConfig& config, CheckedLine* checked,
               std::vector<ConfigProblem>* problems, std::vector<ConfigProblem>* warnings) {
  const size_t before = problems->size();
  checked->devices.assign(config.devices.size(), velk::DeviceRecord{});
  checked->tags.assign(config.tags.size(), velk::TagDef{});
  std::vector<bool> knownType(config.devices.size(), false);

  for (size_t i = 0; i < config.devices.size(); ++i) {
    const DeviceEntry& device = config.devices[i];
    // An entry without its type or address was reported while reading.
    if (device.type.empty() || device.address.empty()) continue;
    const velk::RegisterDef* rows = nullptr;
    int32_t count = 0;
    knownType[i] = driver->GetRegisterTable(device.type.c_str(), &rows, &count) == 1;
    if (!knownType[i])
      problems->push_back({device.line, "device '" + device.name + "': " + UnknownTypeText(device.type)});
    velk::DeviceRecord& record = checked->devices[i];
    if (driver->ParseDeviceAddress(device.address.c_str(), &record) != 1)
      problems->push_back({device.line, "device '" + device.name + "': address \"" + device.address +
                                            "\" rejected: error 11: " + PendingErrorText(driver)});
  }

  for (size_t i = 0; i < config.tags.size(); ++i) {
    const TagEntry& tag = config.tags[i];
    if (tag.deviceIndex >= config.devices.size() || tag.dataType == 0) continue;  // reported while reading
    const DeviceEntry& device = config.devices[tag.deviceIndex];
    if (!knownType[tag.deviceIndex]) continue;  // the device's problem says it all
    const velk::TagConfig tagConfig = MakeTagConfig(device.type, tag.address, tag.dataType);
    velk::TagDef& def = checked->tags[i];
    def.address = static_cast<int16_t>(checked->devices[tag.deviceIndex].address);
    const int16_t code = driver->ParseTag(&tagConfig, &def);
    if (code != 0) {
      // The driver's text first: the table lookup of the hint may replace it.
      const std::string text = PendingErrorText(driver);
      problems->push_back({tag.line, "tag '" + tag.name + "' (" + device.type + " '" + device.name + "'): address \"" +
                                         tag.address + "\" as " + DataTypeName(tag.dataType) + " rejected" +
                                         RegisterHint(driver, device.type, tag.address, tag.dataType, code) +
                                         ": error " + std::to_string(code) + ": " + text});
      continue;
    }
    if (def.registerName == nullptr) {
      problems->push_back(
          {tag.line, "tag '" + tag.name + "': the driver accepted \"" + tag.address + "\" but named no register"});
      continue;
    }
    // A display is addressed by the tag's channel, not by the device address.
    if (FamilyOfType(device.type) == ModuleFamily::kData7210 && def.channel >= 0 &&
        static_cast<uint32_t>(def.channel) != checked->devices[tag.deviceIndex].address)
      warnings->push_back({tag.line, "tag '" + tag.name + "' addresses display " + std::to_string(def.channel) +
                                         " (its channel), while device '" + device.name + "' has address " +
                                         std::to_string(checked->devices[tag.deviceIndex].address)});
  }
  return problems->size() == before;
}

}  // namespace hostlib
