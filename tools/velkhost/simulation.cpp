#include "simulation.h"

#include "sim/bus.h"
#include "sim/line_simulation.h"
#include "sim/server.h"

namespace velkhost {

struct LineSimulation::Running {
  sim::Bus bus;
  sim::Server server{bus};
};

LineSimulation::LineSimulation() = default;

LineSimulation::~LineSimulation() {
  if (running_ != nullptr) running_->server.Stop();
}

bool LineSimulation::Build(const LineConfig& config, std::vector<std::string>* problems) {
  toml::table root;
  try {
    root = toml::parse_file(config.path);
  } catch (const toml::parse_error& e) {
    problems->push_back(config.path + ": " + std::string(e.description()));
    return false;
  }
  std::vector<sim::LineDevice> devices;
  for (size_t d = 0; d < config.devices.size(); ++d) {
    sim::LineDevice device{
        config.devices[d].name, config.devices[d].type, config.devices[d].address, {}, config.devices[d].line};
    for (const TagEntry& tag : config.tags)
      if (tag.deviceIndex == d) device.tagAddresses.push_back(tag.address);
    devices.push_back(device);
  }
  auto running = std::make_unique<Running>();
  if (!sim::AddLineModules(root, config.path, devices, &running->bus, problems)) return false;
  running_ = std::move(running);
  return true;
}

bool LineSimulation::Build(const LineConfig& config, std::string* error) {
  std::vector<std::string> problems;
  if (Build(config, &problems)) return true;
  error->clear();
  for (const std::string& problem : problems) *error += (error->empty() ? "" : "\n") + problem;
  return false;
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
