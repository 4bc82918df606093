// How a poll shows its cycles: a live table redrawn in a terminal, plain
// lines when the output goes to a file or a pipe, or one JSON object per
// cycle for programs.
#ifndef VELKHOST_POLL_VIEW_H
#define VELKHOST_POLL_VIEW_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "line_config.h"
#include "packet_exchange.h"
#include "packet_plan.h"
#include "poll_totals.h"

namespace velkhost {
using namespace hostlib;

// One cycle: an outcome per packet of the plan and a reading per item,
// packet by packet.
struct CycleResult {
  int cycle = 0;
  std::vector<PacketOutcome> packets;
  std::vector<std::vector<TagReading>> readings;
  std::vector<DeviceTotals> totals;  // per device, this cycle included
};

struct PollContext {
  const LineConfig* config = nullptr;
  const PacketPlan* plan = nullptr;
  std::string portName;
  std::string interfaceName;  // "IDriver2 (ProcessPacket2)" or "IDriver (ProcessPacket)"
  int columns = 0;            // the terminal's width for the live table; 0: unknown
};

class PollView {
 public:
  virtual ~PollView() = default;
  virtual void ShowCycle(const CycleResult& cycle) = 0;
};

enum class PollViewKind { kLiveTable, kPlainLines, kJson, kCsv };

std::unique_ptr<PollView> MakePollView(PollViewKind kind, const PollContext& context);

// "dev1 AI 3..3" style label of a packet for messages.
std::string PacketLabel(const LineConfig& config, const HostPacket& packet);

// [low, high] of a packet's channels; null for a register without channels.
nlohmann::ordered_json ChannelsJson(const velk::Packet& packet);

}  // namespace velkhost

#endif
