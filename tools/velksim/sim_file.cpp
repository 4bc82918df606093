#include "sim_file.h"

#include <sstream>
#include <vector>

#include <toml++/toml.h>

#include "line_config.h"
#include "sim/line_simulation.h"
#include "sim/sim_config.h"

namespace velksim {
namespace {

std::string Where(const std::string& path, const toml::node& node) {
  return path + ":" + std::to_string(node.source().begin.line) + ": ";
}

bool ReadLine(const std::string& path, const toml::table& table, LineChoice* line, std::string* error) {
  auto fail = [&](const toml::node& node, const std::string& message) {
    *error = Where(path, node) + message;
    return false;
  };
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    if (name == "device") {
      if (!node.is_string()) return fail(node, "device must be a text such as \"/dev/ttyUSB0\"");
      line->device = node.value_or(std::string());
    } else if (name == "baud") {
      const int64_t baud = node.value_or(int64_t{0});
      if (!node.is_integer() || baud < 50 || baud > 4000000) return fail(node, "baud must be 50..4000000");
      line->settings.baudRate = static_cast<uint32_t>(baud);
    } else if (name == "data_bits") {
      const int64_t bits = node.value_or(int64_t{0});
      if (!node.is_integer() || bits < 5 || bits > 8) return fail(node, "data_bits must be 5..8");
      line->settings.dataBits = static_cast<uint8_t>(bits);
    } else if (name == "parity") {
      if (!node.is_string() || !hostlib::ParityFromName(node.value_or(std::string()), &line->settings.parity))
        return fail(node, std::string("parity must be one of ") + hostlib::kParityChoices);
    } else if (name == "stop_bits") {
      const int64_t bits = node.value_or(int64_t{0});
      if (!node.is_integer() || (bits != 1 && bits != 2)) return fail(node, "stop_bits must be 1 or 2");
      line->settings.stopBits = bits == 2 ? 2 : 1;
    } else if (name == "echo") {
      if (!node.is_boolean()) return fail(node, "echo must be true or false");
      line->echo = node.value_or(false);
    } else {
      return fail(node, "unknown key \"" + name + "\" in [line] (device, baud, data_bits, parity, stop_bits, echo)");
    }
  }
  return true;
}

}  // namespace

bool LoadSimFile(const std::string& path, sim::Bus* bus, LineChoice* line, std::string* error) {
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    std::ostringstream message;
    if (e.source().begin.line == 0)
      message << "cannot read " << path << ": " << e.description();
    else
      message << path << ":" << e.source().begin.line << ": " << e.description();
    *error = message.str();
    return false;
  }
  // A test host's line file: its devices played as its [simulation]
  // tables say, so one file describes both ends of the bus.
  if (root.contains("device")) {
    std::vector<sim::LineDevice> devices;
    std::vector<std::string> problems;
    sim::ReadLineDevices(root, path, &devices, &problems);
    if (problems.empty()) sim::AddLineModules(root, path, devices, bus, &problems);
    error->clear();
    for (const std::string& problem : problems) *error += (error->empty() ? "" : "\n") + problem;
    return problems.empty();
  }
  for (const auto& [key, node] : root) {
    if (key.str() != "module" && key.str() != "line") {
      *error = Where(path, node) + "unknown section \"" + std::string(key.str()) + "\" ([line], [[module]])";
      return false;
    }
  }
  if (const toml::node* table = root.get("line")) {
    if (!table->is_table()) {
      *error = Where(path, *table) + "line must be a table: write [line]";
      return false;
    }
    if (!ReadLine(path, *table->as_table(), line, error)) return false;
  }
  return sim::AddModulesFromToml(root, bus, error);
}

}  // namespace velksim
