// The serial devices of this machine, for the [port] name of a line file:
// each device node with its stable names under /dev/serial/by-id and the
// kernel driver behind it.
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "commands.h"

namespace velkhost {
#ifndef _WIN32
namespace {

namespace fs = std::filesystem;

std::string LinkTarget(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::canonical(link, ec);
  return ec ? std::string() : target.string();
}

}  // namespace
#endif

int RunPorts() {
#ifdef _WIN32
  fprintf(stderr, "velkhost: ports lists /dev devices; on Windows see the Device Manager (COM1, COM5, ...)\n");
  return kExitConfig;
#else
  // Stable names first: /dev/serial/by-id/NAME -> /dev/ttyUSB0.
  std::map<std::string, std::vector<std::string> > byId;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    const std::string target = LinkTarget(entry.path());
    if (!target.empty()) byId[target].push_back(entry.path().string());
  }
  // Every tty the kernel gives a device (a real port, an adapter), with its driver.
  struct Port {
    std::string node, driver;
  };
  std::vector<Port> ports;
  for (const fs::directory_entry& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    const fs::path device = entry.path() / "device";
    std::error_code missing;
    if (!fs::exists(device, missing)) continue;
    const std::string driver = LinkTarget(device / "driver");
    const std::string node = "/dev/" + entry.path().filename().string();
    ports.push_back({node, driver.empty() ? "?" : fs::path(driver).filename().string()});
  }
  std::sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) { return a.node < b.node; });
  if (ports.empty()) {
    printf("no serial devices found (nothing under /sys/class/tty has a device)\n");
    return kExitOk;
  }
  printf("%-16s %-14s %s\n", "DEVICE", "DRIVER", "STABLE NAMES (/dev/serial/by-id)");
  for (const Port& port : ports) {
    std::string names;
    for (const std::string& name : byId[port.node]) names += (names.empty() ? "" : ", ") + name;
    printf("%-16s %-14s %s\n", port.node.c_str(), port.driver.c_str(), names.empty() ? "-" : names.c_str());
  }
  return kExitOk;
#endif
}

}  // namespace velkhost
