#include "poll_view.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "data_types.h"

namespace velkhost {
namespace {

const char* const kGreen = "\x1b[32m";
const char* const kRed = "\x1b[31m";
const char* const kPlain = "\x1b[0m";

// Registers without channels carry -1.
std::string Channels(const velk::Packet& p) {
  if (p.channelLow == -1 && p.channelHigh == -1) return "-";
  if (p.channelLow == p.channelHigh) return std::to_string(p.channelLow);
  return std::to_string(p.channelLow) + ".." + std::to_string(p.channelHigh);
}

std::string Milliseconds(double ms) {
  char text[32];
  snprintf(text, sizeof text, "%.1f", ms);
  return text;
}

// What a tag without a value shows instead.
const char* Missing(const TagReading& r) {
  switch (r.state) {
    case TagReading::kRefused:
      return "REFUSED";
    case TagReading::kBad:
      return "BAD";
    case TagReading::kNotStored:
      return "NO VALUE";
    default:
      return "FAILED";
  }
}

const char* StateName(const TagReading& r) {
  switch (r.state) {
    case TagReading::kGood:
      return "good";
    case TagReading::kRefused:
      return "refused";
    case TagReading::kBad:
      return "bad";
    case TagReading::kNotStored:
      return "no value";
    default:
      return "failed";
  }
}

// Cuts a cell to its column so that a long text cannot break the table.
std::string Cell(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  return text.substr(0, width > 1 ? width - 1 : 0) + "~";
}

// One row per tag; the packet's result and exchange time stand on the row of
// its first tag, so the table stays one screen for a line of some dozen tags.
class LiveTable final : public PollView {
 public:
  explicit LiveTable(const PollContext& context) : context_(context) {}

  void ShowCycle(const CycleResult& cycle) override {
    const LineConfig& config = *context_.config;
    std::string out = "\x1b[H\x1b[2J";  // home and clear: the table is redrawn in place
    out += "velkhost poll " + config.path + "  port " + context_.portName + "  " + context_.interfaceName +
           "  cycle " + std::to_string(cycle.cycle) + "   (Ctrl-C stops)\n\n";
    char line[512];
    snprintf(line, sizeof line, "%-16s %-10s %-10s %-6s %-20s %4s  %-12s %4s %-7s %8s\n", "TAG", "DEVICE", "ADDRESS",
             "TYPE", "VALUE", "QUAL", "TIME", "PKT", "RESULT", "MS");
    out += line;
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const HostPacket& packet = *(*context_.plan)[p];
      const PacketOutcome& o = cycle.packets[p];
      for (size_t i = 0; i < packet.tags().size(); ++i) {
        const TagEntry& tag = config.tags[packet.tags()[i]];
        const TagReading& r = cycle.readings[p][i];
        const std::string value = r.ok ? ValueText(r.value) : Missing(r);
        std::string packetCells;
        if (i == 0) {
          char cells[96];
          snprintf(cells, sizeof cells, "%4zu %s%-7s%s %8s", p + 1, o.result == 1 ? kGreen : kRed,
                   o.result == 1 ? "ok" : "failed", kPlain, Milliseconds(o.ms).c_str());
          packetCells = cells;
        }
        snprintf(line, sizeof line, "%-16s %-10s %-10s %-6s %s%-20s%s %4u  %-12s %s\n", Cell(tag.name, 16).c_str(),
                 Cell(tag.device, 10).c_str(), Cell(tag.address, 10).c_str(), DataTypeName(tag.dataType).c_str(),
                 r.ok ? "" : kRed, Cell(value, 20).c_str(), r.ok ? "" : kPlain, r.quality,
                 r.ok ? FileTimeClock(r.fileTime).c_str() : "-", packetCells.c_str());
        out += line;
      }
    }
    fputs(out.c_str(), stdout);
    fflush(stdout);
  }

 private:
  PollContext context_;
};

class PlainLines final : public PollView {
 public:
  explicit PlainLines(const PollContext& context) : context_(context) {}

  void ShowCycle(const CycleResult& cycle) override {
    const LineConfig& config = *context_.config;
    printf("cycle %d\n", cycle.cycle);
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const HostPacket& packet = *(*context_.plan)[p];
      for (size_t i = 0; i < packet.tags().size(); ++i) {
        const TagEntry& tag = config.tags[packet.tags()[i]];
        const TagReading& r = cycle.readings[p][i];
        if (r.ok)
          printf("  %-18s %-12s %-12s %-6s %-22s quality %u  %s\n", tag.name.c_str(), tag.device.c_str(),
                 tag.address.c_str(), DataTypeName(tag.dataType).c_str(), ValueText(r.value).c_str(), r.quality,
                 FileTimeIso(r.fileTime).c_str());
        else
          printf("  %-18s %-12s %-12s %-6s %s (packet %zu)  quality %u\n", tag.name.c_str(), tag.device.c_str(),
                 tag.address.c_str(), DataTypeName(tag.dataType).c_str(), Missing(r), p + 1, r.quality);
      }
    }
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const PacketOutcome& o = cycle.packets[p];
      printf("  packet %zu %s: %s in %s ms\n", p + 1, PacketLabel(config, *(*context_.plan)[p]).c_str(),
             o.result == 1 ? "ok" : "failed", Milliseconds(o.ms).c_str());
    }
    fflush(stdout);
  }

 private:
  PollContext context_;
};

class JsonLines final : public PollView {
 public:
  explicit JsonLines(const PollContext& context) : context_(context) {}

  void ShowCycle(const CycleResult& cycle) override {
    const LineConfig& config = *context_.config;
    nlohmann::ordered_json tags = nlohmann::ordered_json::array();
    nlohmann::ordered_json packets = nlohmann::ordered_json::array();
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const HostPacket& packet = *(*context_.plan)[p];
      const PacketOutcome& o = cycle.packets[p];
      nlohmann::ordered_json names = nlohmann::ordered_json::array();
      for (size_t i = 0; i < packet.tags().size(); ++i) {
        const TagEntry& tag = config.tags[packet.tags()[i]];
        const TagReading& r = cycle.readings[p][i];
        names.push_back(tag.name);
        tags.push_back({{"name", tag.name},
                        {"device", tag.device},
                        {"address", tag.address},
                        {"type", DataTypeName(tag.dataType)},
                        {"value", r.ok ? ValueJson(r.value) : nlohmann::ordered_json(nullptr)},
                        {"quality", r.quality},
                        {"ok", r.ok},
                        {"state", StateName(r)},
                        {"time", FileTimeIso(r.fileTime)},
                        {"packet", p + 1}});
      }
      const velk::Packet& record = packet.record();
      packets.push_back({{"index", p + 1},
                         {"device", config.devices[packet.device()].name},
                         {"register", record.registerName != nullptr ? record.registerName : ""},
                         {"channels", {record.channelLow, record.channelHigh}},
                         {"tags", names},
                         {"result", o.result},
                         {"ok", o.result == 1},
                         {"ms", o.ms}});
    }
    const nlohmann::ordered_json line = {{"cycle", cycle.cycle}, {"tags", tags}, {"packets", packets}};
    // Texts from modules are untrusted bytes: replace what is not UTF-8
    // rather than stop the output.
    puts(line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    fflush(stdout);
  }

 private:
  PollContext context_;
};

}  // namespace

std::string PacketLabel(const LineConfig& config, const HostPacket& packet) {
  const velk::Packet& p = packet.record();
  const DeviceEntry& device = config.devices[packet.device()];
  const std::string channels = Channels(p);
  return "'" + device.name + "' (" + device.type + " at " + device.address + ") " +
         (p.registerName != nullptr ? p.registerName : "?") + (channels == "-" ? "" : " " + channels) +
         (p.direction == 0 ? " read" : " write");
}

std::unique_ptr<PollView> MakePollView(PollViewKind kind, const PollContext& context) {
  switch (kind) {
    case PollViewKind::kLiveTable:
      return std::make_unique<LiveTable>(context);
    case PollViewKind::kJson:
      return std::make_unique<JsonLines>(context);
    default:
      return std::make_unique<PlainLines>(context);
  }
}

}  // namespace velkhost
