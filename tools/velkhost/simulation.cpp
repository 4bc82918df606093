#include "simulation.h"

#include <stdint.h>
#include <stdlib.h>
#include <strings.h>

#include <map>
#include <set>

#include "line_check.h"
#include "sim/bus.h"
#include "sim/server.h"
#include "sim/sim_config.h"

namespace velkhost {
namespace {

std::string At(const LineConfig& config, const toml::node& node) {
  return config.path + ":" + std::to_string(node.source().begin.line) + ": ";
}

// Device address text to module address and checksum use, read as the
// driver reads it: "N" uses checksums, "N.M" (M above 0) does not. The line
// was checked by the driver already; this only has to agree with it.
void ReadDeviceAddress(const std::string& text, int* address, bool* checksum) {
  const size_t point = text.find('.');
  *address = atoi(text.substr(0, point).c_str());
  *checksum = point == std::string::npos;
}

// The addresses a device is played at: its own, or for a Data7210 each
// display its tags name by their channel.
std::set<int> PlayedAddresses(const LineConfig& config, size_t device, int deviceAddress) {
  std::set<int> addresses;
  if (strcasecmp(config.devices[device].type.c_str(), "Data7210") == 0) {
    for (const TagEntry& tag : config.tags) {
      if (tag.deviceIndex != device) continue;
      // The channel is the number after the register name (and after a
      // precision digit and its point), before any option.
      std::string head = tag.address.substr(0, tag.address.find(','));
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

struct LineSimulation::Running {
  sim::Bus bus;
  sim::Server server{bus};
};

LineSimulation::LineSimulation() = default;

LineSimulation::~LineSimulation() {
  if (running_ != nullptr) running_->server.Stop();
}

bool LineSimulation::Build(const LineConfig& config, std::string* error) {
  toml::table root;
  try {
    root = toml::parse_file(config.path);
  } catch (const toml::parse_error& e) {
    *error = config.path + ": " + std::string(e.description());
    return false;
  }
  toml::table* section = nullptr;
  if (toml::node* node = root.get("simulation")) {
    section = node->as_table();
    if (section == nullptr) {
      *error = At(config, *node) + "[simulation] must be a table";
      return false;
    }
    for (auto&& [key, value] : *section) {
      const std::string name(key.str());
      if (name != "module" && config.FindDevice(name) < 0) {
        *error = At(config, value) + "[simulation." + name +
                 "] names no device of the line (per-device settings go under the device's name; extra modules "
                 "under [[simulation.module]])";
        return false;
      }
    }
  }

  auto running = std::make_unique<Running>();
  for (size_t d = 0; d < config.devices.size(); ++d) {
    const DeviceEntry& device = config.devices[d];
    int address = 0;
    bool checksum = false;
    ReadDeviceAddress(device.address, &address, &checksum);
    toml::table none;
    toml::table* settings = &none;
    if (section != nullptr)
      if (toml::node* node = section->get(device.name)) {
        settings = node->as_table();
        if (settings == nullptr) {
          *error = At(config, *node) + "[simulation." + device.name + "] must be a table";
          return false;
        }
      }
    for (const char* key : {"address", "type", "checksum"})
      if (settings->contains(key)) {
        *error = At(config, *settings->get(key)) + "'" + key + "' of device '" + device.name +
                 "' comes from its [[device]] entry and is not set in [simulation]";
        return false;
      }
    // The device's own table (values, faults, name, version) completed with
    // what the line gives it, in place, so that the simulator's messages
    // still name the lines of the file.
    settings->insert_or_assign("type", device.type);
    settings->insert_or_assign("checksum", checksum && !IsDataModule(device.type));
    for (int played : PlayedAddresses(config, d, address)) {
      settings->insert_or_assign("address", played);
      std::string why;
      if (!sim::AddModuleFromToml(*settings, &running->bus, &why)) {
        *error = "device '" + device.name + "': " + why;
        return false;
      }
    }
  }
  // Extra modules of the bus that the line does not configure.
  if (section != nullptr && !sim::AddModulesFromToml(*section, &running->bus, error)) return false;
  running_ = std::move(running);
  return true;
}

sim::Bus* LineSimulation::bus() { return running_ != nullptr ? &running_->bus : nullptr; }
sim::Server* LineSimulation::server() { return running_ != nullptr ? &running_->server : nullptr; }

bool LineSimulation::Serve(std::string* error, const PortConfig* pace) {
  if (running_ == nullptr) {
    *error = "no simulated modules were built";
    return false;
  }
  if (pace != nullptr) {
    sim::LineSettings settings;
    settings.baudRate = pace->baud;
    settings.dataBits = pace->dataBits;
    settings.parity = pace->parity;
    settings.stopBits = pace->stopBits == 2 ? 2 : 0;
    running_->server.SetPace(&settings);
  }
  if (!running_->server.ServePseudoTerminal(error)) return false;
  portName_ = running_->server.path();
  return true;
}

}  // namespace velkhost
