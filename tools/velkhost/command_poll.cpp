#include <stdio.h>

#include <algorithm>
#include <set>
#include <string>

#include "commands.h"
#include "did_you_mean.h"
#include "line_backoff.h"
#include "outcome_text.h"
#include "packet_exchange.h"
#include "poll_view.h"
#include "terminal.h"

namespace velkhost {
using namespace hostlib;
namespace {

bool PacketGood(const PacketOutcome& outcome, const std::vector<TagReading>& readings) {
  bool good = outcome.result == 1;
  for (const TagReading& r : readings) good = good && r.ok;
  return good;
}

// Says once, on the error output, which devices did not answer in the last
// cycle, grouped by device so that a dead line reads as one story.
int ReportFailures(const LineSession& session, const PacketPlan& plan, const CycleResult& cycle) {
  const LineConfig& config = session.config;
  velk::LineCounters counters{};
  counters.size = sizeof counters;
  if (session.driver->diag != nullptr && session.driver->diag->GetCounters(&counters) == 1) {
    const std::string late = LateAnswerText(counters, session.timeoutMs());
    if (!late.empty()) fprintf(stderr, "velkhost: %s\n", late.c_str());
  }
  size_t unanswered = 0, ran = 0;
  bool withoutValue = false, velkFailed = false, dataFailed = false;
  std::set<int32_t> reasons;
  for (size_t d = 0; d < config.devices.size(); ++d) {
    const bool dataModule = IsDataModule(config.devices[d].type);
    size_t packets = 0, failed = 0;
    std::string registers;
    for (size_t p = 0; p < plan.size(); ++p) {
      if (plan[p]->device() != d || (!cycle.packets[p].ran && cycle.packets[p].held.empty())) continue;
      ++packets;
      if (PacketGood(cycle.packets[p], cycle.readings[p])) continue;
      ++failed;
      const velk::Packet& record = plan[p]->record();
      std::string name = record.registerName != nullptr ? record.registerName : "?";
      if (record.channelLow >= 0 && !dataModule) name += std::to_string(record.channelLow);
      if (cycle.packets[p].result != 1) {
        const int32_t reason = cycle.packets[p].reason;
        if (reason == velk::kOutcomeNoAnswer || reason == velk::kOutcomeCount) ++unanswered;
        if (reason != velk::kOutcomeCount) reasons.insert(reason);
        (dataModule ? dataFailed : velkFailed) = true;
        name += " (" + PacketReason(cycle.packets[p], cycle.readings[p]) + ")";
      } else {
        const auto any = [&](TagReading::State state) {
          return std::any_of(cycle.readings[p].begin(), cycle.readings[p].end(),
                             [state](const TagReading& r) { return r.state == state; });
        };
        const bool refused = any(TagReading::kRefused);
        const bool bad = any(TagReading::kBad);
        name += refused ? " refused" : bad ? " bad" : " without a value";
        withoutValue = withoutValue || (!refused && !bad);
      }
      registers += (registers.empty() ? "" : ", ") + name;
    }
    ran += packets;
    if (failed == 0) continue;
    const DeviceEntry& device = config.devices[d];
    fprintf(stderr, "velkhost: device '%s' (%s at %s): %zu of %zu packet%s failed: %s\n", device.name.c_str(),
            device.type.c_str(), device.address.c_str(), failed, packets, packets == 1 ? "" : "s", registers.c_str());
  }
  if (!velkFailed && !dataFailed && !withoutValue &&
      std::all_of(cycle.readings.begin(), cycle.readings.end(), [](const std::vector<TagReading>& readings) {
        return std::all_of(readings.begin(), readings.end(), [](const TagReading& r) { return r.ok; });
      }))
    return kExitOk;
  if (unanswered == ran && ran > 0)
    fprintf(stderr, "velkhost: no module answered on %s: check the port, the baud rate (%u) and the wiring\n",
            session.portName().c_str(), config.port.baud);
  // With the driver's reasons, one hint per kind of failure seen; without
  // them, the old guesses.
  for (const int32_t reason : reasons)
    fprintf(stderr, "velkhost: %s: %s\n", OutcomeReason(reason), OutcomeHint(reason));
  if (!reasons.empty()) velkFailed = dataFailed = false;
  if (velkFailed)
    fprintf(stderr,
            "velkhost: a failed packet had no answer within %d ms, a refused command, a checksum mismatch, or a "
            "register that cannot be read (see `velkhost tables TYPE`). Check the module's address and checksum "
            "setting (\"N\" uses checksums, \"N.1\" does not).\n",
            config.port.timeoutMs);
  if (dataFailed)
    fprintf(stderr,
            "velkhost: a Data7810 answer must reach its register's fixed length within %d ms; a Data7210 display "
            "is given 3 s and is addressed by the tag's channel.\n",
            config.port.timeoutMs);
  if (withoutValue)
    fprintf(stderr,
            "velkhost: \"without a value\": the driver completed the packet but stored nothing in the tag (it "
            "does not read that register from the module).\n");
  return kExitFailure;
}

// A packet the back-off did not send: failed for `why`, with the outcome
// that led to it, so that the hints at the end still name the cause.
PacketOutcome HeldOutcome(const std::string& why, bool offline) {
  PacketOutcome outcome;
  outcome.held = why;
  outcome.reason = offline ? velk::kOutcomeNoAnswer : velk::kOutcomeBusyBound;
  outcome.fileTime = FileTimeNowHost();
  return outcome;
}

// One line on the error output per change of a device's or packet's state.
void ReportChange(BackoffChange change, const LineConfig& config, const HostPacket& packet,
                  const BackoffSettings& settings) {
  const DeviceEntry& device = config.devices[packet.device()];
  const std::string who = "velkhost: device '" + device.name + "' (" + device.type + " at " + device.address + ")";
  switch (change) {
    case BackoffChange::kDeviceOffline:
      fprintf(stderr,
              "%s offline: %u packets in a row without an answer; asked again in 1 s, then less often (at "
              "most every %u s)\n",
              who.c_str(), settings.offlineAfter, settings.retryMaxMs / 1000);
      break;
    case BackoffChange::kDeviceBack: fprintf(stderr, "%s back: it answers again\n", who.c_str()); break;
    case BackoffChange::kPacketBusy:
      fprintf(stderr,
              "velkhost: %s: busy for the whole time-out %u times in a row; asked again in 1 s, then less "
              "often\n",
              PacketLabel(config, packet).c_str(), settings.offlineAfter);
      break;
    case BackoffChange::kPacketFree:
      fprintf(stderr, "velkhost: %s: answers again\n", PacketLabel(config, packet).c_str());
      break;
    default: break;
  }
}

// Running totals of a poll, for whoever samples a long run.
struct PollTotals {
  uint64_t packets = 0;
  uint64_t failed = 0;
};

// Replaces `path` in one step, so that a reader never sees half a record.
void WriteStats(const std::string& path, int cycle, const PollTotals& totals, const DriverLibrary& library) {
  const std::string temp = path + ".tmp";
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) return;
  fprintf(f, "cycles=%d packets=%llu failed=%llu atoms=%d\n", cycle, static_cast<unsigned long long>(totals.packets),
          static_cast<unsigned long long>(totals.failed), library.LiveAtomCount());
  if (fclose(f) == 0) rename(temp.c_str(), path.c_str());
}

// How often a gone port is tried again: short, so that a re-plugged
// adapter or a restarted simulator is read again within a second.
constexpr uint32_t kPortRetryMs = 500;

bool PortGoneAllCycle(const CycleResult& cycle) {
  bool any = false;
  for (const PacketOutcome& packet : cycle.packets) {
    if (!packet.ran) continue;
    if (packet.reason != velk::kOutcomeNoPort && packet.reason != velk::kOutcomePortLost) return false;
    any = true;
  }
  return any;
}

// A name of --device or --tag that the file lacks; false after saying so.
bool Known(const char* what, const std::string& name, const std::vector<std::string>& names, const std::string& path) {
  if (std::find(names.begin(), names.end(), name) != names.end()) return true;
  std::string all;
  for (const std::string& n : names) all += (all.empty() ? "" : ", ") + n;
  fprintf(stderr, "velkhost: %s has no %s '%s'%s (%ss: %s)\n", path.c_str(), what, name.c_str(),
          DidYouMean(name, names).c_str(), what, all.c_str());
  return false;
}

// Leaves polled only the tags --device and --tag name, together the tags of
// those devices and those tags besides ("--device boiler --tag ramp": the
// boiler's tags and ramp): the others are treated as written only, so that
// no packet is planned for them.
bool KeepOnly(const std::vector<std::string>& devices, const std::vector<std::string>& tags, LineConfig* config) {
  std::vector<std::string> deviceNames, tagNames;
  for (const DeviceEntry& d : config->devices) deviceNames.push_back(d.name);
  for (const TagEntry& t : config->tags) tagNames.push_back(t.name);
  bool ok = true;
  for (const std::string& d : devices) ok = Known("device", d, deviceNames, config->path) && ok;
  for (const std::string& t : tags) ok = Known("tag", t, tagNames, config->path) && ok;
  if (!ok) return false;
  if (devices.empty() && tags.empty()) return true;
  for (TagEntry& tag : config->tags) {
    const bool device = std::find(devices.begin(), devices.end(), tag.device) != devices.end();
    const bool named = std::find(tags.begin(), tags.end(), tag.name) != tags.end();
    tag.poll = tag.poll && (device || named);
  }
  return true;
}

}  // namespace

int RunPoll(const LibraryOptions& libraryOptions, const LineOptions& line, const PollArgs& args) {
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  if (!KeepOnly(args.devices, args.tags, &session.config)) return kExitConfig;
  PacketPlan plan = PlanReads(session.driver->d, session.config, session.checked, session.layout());
  if (plan.empty()) {
    fprintf(stderr, "velkhost: %s has no polled tag%s; nothing to poll\n", session.config.path.c_str(),
            args.devices.empty() && args.tags.empty() ? "" : " that --device and --tag leave");
    return kExitConfig;
  }
  status = session.Connect();
  if (status != kExitOk) return status;

  LineTotals totals(session.config.devices.size());
  SetForcedExitReport([&] {
    std::vector<DeviceTotals> snapshot;
    if (totals.TrySnapshot(&snapshot)) PrintTotals(stderr, session.config, snapshot);
  });
  PollContext context;
  context.config = &session.config;
  context.plan = &plan;
  context.portName = session.portName();
  context.interfaceName = line.firstInterface ? "IDriver ProcessPacket" : "IDriver2 ProcessPacket2";
  PollViewKind kind = PollViewKind::kPlainLines;
  if (args.json)
    kind = PollViewKind::kJson;
  else if (args.csv)
    kind = PollViewKind::kCsv;
  else if (!args.plain && StdoutIsTerminal())
    kind = PollViewKind::kLiveTable;
  if (kind == PollViewKind::kLiveTable) context.columns = TerminalColumns();
  std::unique_ptr<PollView> view = MakePollView(kind, context);

  BackoffSettings backoffSettings = session.config.backoff;
  if (args.noBackoff) backoffSettings.offlineAfter = 0;
  LineBackoff backoff(session.config.devices.size(), plan.size(), backoffSettings);

  CycleResult cycle;
  PollTotals stats;
  for (int n = 1; args.cycles == 0 || n <= args.cycles; ++n) {
    cycle.cycle = n;
    cycle.packets.assign(plan.size(), PacketOutcome{});
    cycle.readings.assign(plan.size(), {});
    size_t sent = 0;
    for (size_t p = 0; p < plan.size() && !StopRequested(); ++p) {
      HostPacket& packet = *plan[p];
      std::string held;
      if (!backoff.MaySend(packet.device(), p, &held)) {
        cycle.packets[p] = HeldOutcome(held, backoff.Offline(packet.device()));
        for (size_t i = 0; i < packet.tags().size(); ++i)
          cycle.readings[p].push_back(
              ReadItem(packet, i, cycle.packets[p], session.config.tags[packet.tags()[i]].dataType, session.library));
        totals.Hold(packet.device());
        continue;
      }
      ++sent;
      cycle.packets[p] = RunPacket(*session.driver, packet);
      ReportChange(backoff.Record(packet.device(), p, cycle.packets[p]), session.config, packet, backoffSettings);
      for (size_t i = 0; i < packet.tags().size(); ++i) {
        cycle.readings[p].push_back(
            ReadItem(packet, i, cycle.packets[p], session.config.tags[packet.tags()[i]].dataType, session.library));
        // Read, so freed, as a host frees what it has taken over.
        const TagReading& reading = cycle.readings[p].back();
        if (reading.ok && reading.value.kind == TagValue::kText) session.library.DeleteAtom(reading.value.atom);
      }
      ++stats.packets;
      if (cycle.packets[p].result != 1) ++stats.failed;
      totals.Add(packet.device(), PacketGood(cycle.packets[p], cycle.readings[p]),
                 PacketReason(cycle.packets[p], cycle.readings[p]), cycle.packets[p].fileTime);
    }
    cycle.totals = totals.Snapshot();
    // A cycle cut short by Ctrl-C is not shown: its untouched packets would
    // read as failures.
    if (StopRequested()) break;
    view->ShowCycle(cycle);
    if (!args.statsFile.empty()) WriteStats(args.statsFile, n, stats, session.library);
    if (args.cycles != 0 && n == args.cycles) break;
    // A cycle that sent nothing waits for the first try rather than spin; so
    // does one whose every packet found the port gone, since the driver
    // fails those at once and the port needs time to come back.
    uint32_t waitMs = sent == 0 ? backoff.NextTryInMs() : 0;
    if (sent != 0 && PortGoneAllCycle(cycle)) waitMs = kPortRetryMs;
    SleepUnlessStopped(std::max(args.intervalMs, static_cast<int>(waitMs)));
    if (StopRequested()) break;
  }
  SetForcedExitReport(nullptr);
  const bool stopped = StopRequested();
  if (kind == PollViewKind::kLiveTable && stopped) fputs("\n", stdout);
  PrintTotals(stderr, session.config, totals.Snapshot());
  if (cycle.cycle == 0 || cycle.packets.empty()) return stopped ? kExitInterrupted : kExitOk;
  // The cycle a stop cut short is not judged: its untouched packets are not failures.
  if (stopped) return kExitInterrupted;
  return ReportFailures(session, plan, cycle);
}

}  // namespace velkhost
