#include <stdio.h>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "packet_plan.h"
#include "poll_view.h"

namespace velkhost {
using namespace hostlib;

int RunPlan(const LibraryOptions& libraryOptions, const LineOptions& line, bool json) {
  LineSession session;
  const int loaded = session.Load(libraryOptions, line);
  // The [simulation] tables are checked too, even when the driver rejected
  // entries, so that every error of the file is listed at once.
  std::vector<std::string> simulationProblems;
  if (session.fileRead && session.config.hasSimulation) {
    LineSimulation simulation;
    simulation.Build(session.config, &simulationProblems);
    for (const std::string& problem : simulationProblems) fprintf(stderr, "%s\n", problem.c_str());
    if (!simulationProblems.empty())
      fprintf(stderr, "velkhost: the [simulation] section of %s has %zu error%s\n", session.config.path.c_str(),
              simulationProblems.size(), simulationProblems.size() == 1 ? "" : "s");
  }
  if (loaded != kExitOk) return loaded;
  if (!simulationProblems.empty()) return kExitConfig;
  const PacketPlan plan = PlanReads(session.driver->d, session.config, session.checked, session.layout());
  const LineConfig& config = session.config;
  if (json) {
    nlohmann::ordered_json packets = nlohmann::ordered_json::array();
    for (size_t p = 0; p < plan.size(); ++p) {
      const HostPacket& packet = *plan[p];
      const velk::Packet& r = packet.record();
      const DeviceEntry& device = config.devices[packet.device()];
      nlohmann::ordered_json tags = nlohmann::ordered_json::array();
      for (size_t t : packet.tags()) tags.push_back(config.tags[t].name);
      packets.push_back({{"index", p + 1},
                         {"device", device.name},
                         {"type", device.type},
                         // The text as written: "3.1" keeps its checksum flag.
                         {"address", device.address},
                         {"register", r.registerName != nullptr ? r.registerName : ""},
                         {"code", r.registerCode},
                         {"channels", ChannelsJson(r)},
                         {"direction", r.direction == 0 ? "read" : "write"},
                         {"tags", tags}});
    }
    puts(nlohmann::ordered_json({{"packets", packets}}).dump().c_str());
    return kExitOk;
  }
  size_t polled = 0;
  for (const TagEntry& tag : config.tags) polled += tag.poll ? 1 : 0;
  printf("%s: %zu device%s, %zu polled tag%s in %zu packet%s\n", config.path.c_str(), config.devices.size(),
         config.devices.size() == 1 ? "" : "s", polled, polled == 1 ? "" : "s", plan.size(),
         plan.size() == 1 ? "" : "s");
  for (size_t p = 0; p < plan.size(); ++p) {
    const HostPacket& packet = *plan[p];
    std::string tags;
    for (size_t t : packet.tags()) tags += (tags.empty() ? "" : ", ") + config.tags[t].name;
    printf("  packet %zu: %s (code %d): %s\n", p + 1, PacketLabel(config, packet).c_str(), packet.record().registerCode,
           tags.c_str());
  }
  return kExitOk;
}

}  // namespace velkhost
