#include "sim/line_simulation.h"

#include <stdlib.h>
#include <strings.h>

#include <set>

#include "sim/sim_config.h"

namespace sim {
namespace {

std::string At(const std::string& path, const toml::node& node) {
  return path + ":" + std::to_string(node.source().begin.line) + ": ";
}

bool IsDataType(const std::string& type) {
  return strcasecmp(type.c_str(), "Data7810") == 0 || strcasecmp(type.c_str(), "Data7210") == 0;
}

// "N" uses checksums, "N.M" (M above 0) does not, as the driver reads it.
void ReadDeviceAddress(const std::string& text, int* address, bool* checksum) {
  const size_t point = text.find('.');
  *address = atoi(text.substr(0, point).c_str());
  *checksum = point == std::string::npos;
}

// The addresses a device is played at: its own, or for a Data7210 each
// display its tags name by their channel.
std::set<int> PlayedAddresses(const LineDevice& device, int deviceAddress) {
  std::set<int> addresses;
  if (strcasecmp(device.type.c_str(), "Data7210") == 0) {
    for (const std::string& tagAddress : device.tagAddresses) {
      // The channel is the number after the register name (and after a
      // precision digit and its point), before any option.
      std::string head = tagAddress.substr(0, tagAddress.find(','));
      const size_t point = head.find('.');
      if (point != std::string::npos) head = head.substr(point + 1);
      const size_t digits = head.find_first_of("0123456789");
      if (digits == std::string::npos) continue;
      const int channel = atoi(head.c_str() + digits);
      if (channel >= 0 && channel <= 255) addresses.insert(channel);
    }
  }
  if (addresses.empty()) addresses.insert(deviceAddress);
  return addresses;
}

}  // namespace

void ReadLineDevices(const toml::table& root, const std::string& path, std::vector<LineDevice>* devices,
                     std::vector<std::string>* problems) {
  if (const toml::array* entries = root["device"].as_array()) {
    for (const toml::node& node : *entries) {
      const toml::table* entry = node.as_table();
      if (entry == nullptr) {
        problems->push_back(At(path, node) + "[[device]] must be a table");
        continue;
      }
      LineDevice device;
      device.name = (*entry)["name"].value_or(std::string());
      device.type = (*entry)["type"].value_or(std::string());
      device.address = (*entry)["address"].value_or(std::string());
      if (device.name.empty() || device.type.empty() || device.address.empty()) {
        problems->push_back(At(path, node) + "[[device]] needs name, type and address");
        continue;
      }
      device.line = static_cast<int>(node.source().begin.line);
      devices->push_back(device);
    }
  }
  if (const toml::array* tags = root["tag"].as_array()) {
    for (const toml::node& node : *tags) {
      const toml::table* tag = node.as_table();
      if (tag == nullptr) continue;
      const std::string owner = (*tag)["device"].value_or(std::string());
      for (LineDevice& device : *devices)
        if (device.name == owner) device.tagAddresses.push_back((*tag)["address"].value_or(std::string()));
    }
  }
}

bool AddLineModules(toml::table& root, const std::string& path, const std::vector<LineDevice>& devices, Bus* bus,
                    std::vector<std::string>* problems) {
  const size_t before = problems->size();
  toml::table* section = nullptr;
  if (toml::node* node = root.get("simulation")) {
    section = node->as_table();
    if (section == nullptr) {
      problems->push_back(At(path, *node) + "[simulation] must be a table");
      return false;
    }
    for (auto&& [key, value] : *section) {
      const std::string name(key.str());
      bool known = name == "module";
      for (const LineDevice& device : devices) known = known || device.name == name;
      if (!known)
        problems->push_back(At(path, value) + "[simulation." + name +
                            "] names no device of the line (per-device settings go under the device's name; "
                            "extra modules under [[simulation.module]])");
    }
  }

  for (const LineDevice& device : devices) {
    int address = 0;
    bool checksum = false;
    ReadDeviceAddress(device.address, &address, &checksum);
    toml::table none;
    toml::table* settings = &none;
    if (section != nullptr)
      if (toml::node* node = section->get(device.name)) {
        settings = node->as_table();
        if (settings == nullptr) {
          problems->push_back(At(path, *node) + "[simulation." + device.name + "] must be a table");
          continue;
        }
      }
    bool clash = false;
    for (const char* key : {"address", "type", "checksum"})
      if (settings->contains(key)) {
        problems->push_back(At(path, *settings->get(key)) + "'" + key + "' of device '" + device.name +
                            "' comes from its [[device]] entry and is not set in [simulation]");
        clash = true;
      }
    if (clash) continue;
    // The device's own table (values, faults, name, version) completed with
    // what the line gives it, in place, so that the simulator's messages
    // still name the lines of the file.
    settings->insert_or_assign("type", device.type);
    settings->insert_or_assign("checksum", checksum && !IsDataType(device.type));
    for (int played : PlayedAddresses(device, address)) {
      settings->insert_or_assign("address", played);
      std::string why;
      if (!AddModuleFromToml(*settings, bus, &why)) {
        // What the line gave the device (its type and address, or the whole
        // table when it has no [simulation] entry) stands at no line of the
        // file: such a finding is the [[device]] entry's.
        const std::string noSource = "0: ";
        if (why.compare(0, noSource.size(), noSource) == 0)
          problems->push_back(path + ":" + std::to_string(device.line) + ": device '" + device.name +
                              "': " + why.substr(noSource.size()));
        else
          problems->push_back("device '" + device.name + "': " + why);
        break;
      }
    }
  }
  // Extra modules of the bus that the line does not configure.
  std::string why;
  if (section != nullptr && !AddModulesFromToml(*section, bus, &why)) problems->push_back(why);
  return problems->size() == before;
}

}  // namespace sim
