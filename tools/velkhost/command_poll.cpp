#include <stdio.h>

#include "commands.h"
#include "packet_exchange.h"
#include "poll_view.h"
#include "terminal.h"

namespace velkhost {

int RunPoll(const LibraryOptions& libraryOptions, const LineOptions& line, const PollArgs& args) {
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  PacketPlan plan = PlanReads(session.driver->d, session.config, session.checked, session.layout());
  if (plan.empty()) {
    fprintf(stderr, "velkhost: %s has no polled tag; nothing to poll\n", session.config.path.c_str());
    return kExitConfig;
  }
  status = session.Connect();
  if (status != kExitOk) return status;

  InstallStopHandler();
  PollContext context;
  context.config = &session.config;
  context.plan = &plan;
  context.portName = session.portName();
  context.interfaceName = line.firstInterface ? "IDriver ProcessPacket" : "IDriver2 ProcessPacket2";
  PollViewKind kind = PollViewKind::kPlainLines;
  if (args.json)
    kind = PollViewKind::kJson;
  else if (!args.plain && StdoutIsTerminal())
    kind = PollViewKind::kLiveTable;
  std::unique_ptr<PollView> view = MakePollView(kind, context);

  CycleResult cycle;
  for (int n = 1; args.cycles == 0 || n <= args.cycles; ++n) {
    cycle.cycle = n;
    cycle.packets.assign(plan.size(), PacketOutcome{});
    cycle.readings.assign(plan.size(), {});
    for (size_t p = 0; p < plan.size() && !StopRequested(); ++p) {
      HostPacket& packet = *plan[p];
      cycle.packets[p] = RunPacket(*session.driver, packet);
      for (size_t i = 0; i < packet.tags().size(); ++i)
        cycle.readings[p].push_back(ReadItem(packet, i, cycle.packets[p],
                                             session.config.tags[packet.tags()[i]].dataType, session.library));
    }
    // A cycle cut short by Ctrl-C is not shown: its untouched packets would
    // read as failures.
    if (StopRequested()) break;
    view->ShowCycle(cycle);
    if (args.cycles != 0 && n == args.cycles) break;
    SleepUnlessStopped(args.intervalMs);
    if (StopRequested()) break;
  }
  if (cycle.cycle == 0 || cycle.packets.empty()) return kExitOk;

  // Who did not answer in the last cycle, said once, on the error output.
  status = kExitOk;
  for (size_t p = 0; p < plan.size(); ++p) {
    const PacketOutcome& o = cycle.packets[p];
    if (!o.ran) continue;
    bool itemsGood = o.result == 1;
    for (const TagReading& r : cycle.readings[p]) itemsGood = itemsGood && r.ok;
    if (itemsGood) continue;
    status = kExitFailure;
    const DeviceEntry& device = session.config.devices[plan[p]->device()];
    if (o.result == 1)
      fprintf(stderr, "velkhost: packet %zu %s: the module refused the command (quality 0)\n", p + 1,
              PacketLabel(session.config, *plan[p]).c_str());
    else if (IsDataModule(device.type))
      fprintf(stderr,
              "velkhost: packet %zu %s failed after %.0f ms: no complete answer in time (a Data7810 answer must "
              "reach the register's fixed length within %d ms; a Data7210 display is given 3 s) or a register "
              "that cannot be read. Check the module's address, baud rate and the wiring.\n",
              p + 1, PacketLabel(session.config, *plan[p]).c_str(), o.ms, session.config.port.timeoutMs);
    else
      fprintf(stderr,
              "velkhost: packet %zu %s failed after %.0f ms: no answer within %d ms, a refused command, a checksum "
              "mismatch, or a register that cannot be read. Check the module's address, baud rate and checksum "
              "setting (\"%u\" uses checksums, \"%u.1\" does not) and the wiring.\n",
              p + 1, PacketLabel(session.config, *plan[p]).c_str(), o.ms, session.config.port.timeoutMs,
              session.checked.devices[plan[p]->device()].address, session.checked.devices[plan[p]->device()].address);
  }
  return status;
}

}  // namespace velkhost
