#include "poll_view.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "data_types.h"
#include "reading_json.h"
#include "text_encoding.h"

namespace velkhost {
using namespace hostlib;
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
    case TagReading::kRefused: return "REFUSED";
    case TagReading::kBad: return "BAD";
    case TagReading::kNotStored: return "NO VALUE";
    default: return "FAILED";
  }
}

const char* StateName(const TagReading& r) {
  switch (r.state) {
    case TagReading::kGood: return "good";
    case TagReading::kRefused: return "refused";
    case TagReading::kBad: return "bad";
    case TagReading::kNotStored: return "no value";
    default: return "failed";
  }
}

// Cuts a cell to its column so that a long text cannot break the table.
std::string Cell(const std::string& text, size_t width) { return CutToWidth(text, width); }

// A column of the live table. Columns with a higher `drop` go first when
// the terminal is too narrow; the tag name is cut last.
struct Column {
  const char* title;
  size_t width;
  int drop;  // 0: never dropped
  bool right = false;
};

enum ColumnIndex { kTag, kDevice, kAddress, kType, kValue, kQuality, kTime, kPacket, kResult, kMs, kColumnCount };

const Column kColumns[kColumnCount] = {
    {"TAG", 16, 0},       {"DEVICE", 10, 4}, {"ADDRESS", 10, 6},  {"TYPE", 6, 5},    {"VALUE", 20, 0},
    {"QUAL", 4, 7, true}, {"TIME", 12, 8},   {"PKT", 4, 3, true}, {"RESULT", 18, 0}, {"MS", 8, 2, true},
};

std::string Pad(const std::string& text, size_t width, bool right) {
  return PadToWidth(Cell(text, width), width, right);
}

// One row per tag; the packet's result and exchange time stand on the row of
// its first tag, so the table stays one screen for a line of some dozen tags.
// Below it, the running totals of every device.
class LiveTable final : public PollView {
 public:
  explicit LiveTable(const PollContext& context) : context_(context) {}

  void ShowCycle(const CycleResult& cycle) override {
    const LineConfig& config = *context_.config;
    const size_t columns = context_.columns > 0 ? static_cast<size_t>(context_.columns) : 0;
    bool shown[kColumnCount];
    size_t tagWidth = Fit(columns, shown);
    std::string out = "\x1b[H\x1b[2J";  // home and clear: the table is redrawn in place
    out += Cut("velkhost poll " + config.path + "  port " + context_.portName + "  " + context_.interfaceName +
                   "  cycle " + std::to_string(cycle.cycle) + "   (Ctrl-C stops)",
               columns) +
           "\n\n";
    std::string cells[kColumnCount];
    for (int c = 0; c < kColumnCount; ++c) cells[c] = kColumns[c].title;
    out += Row(cells, shown, tagWidth, nullptr) + "\n";
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const HostPacket& packet = *(*context_.plan)[p];
      const PacketOutcome& o = cycle.packets[p];
      const std::string reason = PacketReason(o, cycle.readings[p]);
      for (size_t i = 0; i < packet.tags().size(); ++i) {
        const TagEntry& tag = config.tags[packet.tags()[i]];
        const TagReading& r = cycle.readings[p][i];
        cells[kTag] = tag.name;
        cells[kDevice] = tag.device;
        cells[kAddress] = tag.address;
        cells[kType] = DataTypeName(tag.dataType);
        cells[kValue] = r.ok ? ValueText(r.value) : Missing(r);
        cells[kQuality] = std::to_string(r.quality);
        cells[kTime] = r.ok ? FileTimeClock(r.fileTime) : "-";
        cells[kPacket] = i == 0 ? std::to_string(p + 1) : "";
        cells[kResult] = i == 0 ? reason : "";
        cells[kMs] = i == 0 ? Milliseconds(o.ms) : "";
        const char* colors[kColumnCount] = {};
        if (!r.ok) colors[kValue] = kRed;
        if (i == 0) colors[kResult] = o.result == 1 ? kGreen : kRed;
        out += Row(cells, shown, tagWidth, colors) + "\n";
      }
    }
    out += "\n";
    char line[256];
    snprintf(line, sizeof line, "%-16s %8s %8s  %-24s %s", "DEVICE", "REQUESTS", "GOOD", "LAST GOOD (UTC)", "FAILURES");
    out += Cut(line, columns) + "\n";
    for (size_t d = 0; d < cycle.totals.size() && d < config.devices.size(); ++d) {
      const DeviceTotals& t = cycle.totals[d];
      if (t.requests == 0) continue;
      snprintf(line, sizeof line, "%s %8llu %8llu  %-24s ", Pad(config.devices[d].name, 16, false).c_str(),
               static_cast<unsigned long long>(t.requests), static_cast<unsigned long long>(t.good),
               t.lastGood != 0 ? FileTimeIso(t.lastGood).c_str() : "never");
      out += Cut(line + FailureSummary(t), columns) + "\n";
    }
    fputs(out.c_str(), stdout);
    fflush(stdout);
  }

 private:
  // Chooses the columns that fit `columns` (0: all) and returns the tag
  // column's width.
  static size_t Fit(size_t columns, bool* shown) {
    for (int c = 0; c < kColumnCount; ++c) shown[c] = true;
    if (columns == 0) return kColumns[kTag].width;
    auto total = [&] {
      size_t sum = 0;
      for (int c = 0; c < kColumnCount; ++c)
        if (shown[c]) sum += kColumns[c].width + 1;
      return sum;
    };
    for (int level = 8; level >= 1 && total() > columns; --level)
      for (int c = 0; c < kColumnCount; ++c)
        if (kColumns[c].drop == level) shown[c] = false;
    const size_t others = total() - (kColumns[kTag].width + 1);
    const size_t room = columns > others + 1 ? columns - others - 1 : 1;
    return room < kColumns[kTag].width ? (room < 4 ? 4 : room) : kColumns[kTag].width;
  }

  static std::string Cut(const std::string& text, size_t columns) {
    return columns == 0 || text.size() <= columns ? text : text.substr(0, columns);
  }

  static std::string Row(const std::string* cells, const bool* shown, size_t tagWidth, const char* const* colors) {
    std::string row;
    for (int c = 0; c < kColumnCount; ++c) {
      if (!shown[c]) continue;
      if (!row.empty()) row += ' ';
      const size_t width = c == kTag ? tagWidth : kColumns[c].width;
      const char* color = colors != nullptr ? colors[c] : nullptr;
      // Colors go around the padded cell: escape codes take no columns.
      row +=
          (color != nullptr ? color : "") + Pad(cells[c], width, kColumns[c].right) + (color != nullptr ? kPlain : "");
    }
    while (!row.empty() && row.back() == ' ') row.pop_back();
    return row;
  }

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
          printf("  %s %s %s %-6s %s quality %u  %s\n", PadToWidth(tag.name, 18).c_str(),
                 PadToWidth(tag.device, 12).c_str(), PadToWidth(tag.address, 12).c_str(),
                 DataTypeName(tag.dataType).c_str(), PadToWidth(ValueText(r.value), 22).c_str(), r.quality,
                 FileTimeIso(r.fileTime).c_str());
        else
          printf("  %s %s %s %-6s %s: %s (packet %zu)  quality %u\n", PadToWidth(tag.name, 18).c_str(),
                 PadToWidth(tag.device, 12).c_str(), PadToWidth(tag.address, 12).c_str(),
                 DataTypeName(tag.dataType).c_str(), Missing(r),
                 PacketReason(cycle.packets[p], cycle.readings[p]).c_str(), p + 1, r.quality);
      }
    }
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const PacketOutcome& o = cycle.packets[p];
      const std::string reason = PacketReason(o, cycle.readings[p]);
      printf("  packet %zu %s: %s%s%s in %s ms\n", p + 1, PacketLabel(config, *(*context_.plan)[p]).c_str(),
             o.result == 1 ? "ok" : "failed", reason == "ok" ? "" : ": ", reason == "ok" ? "" : reason.c_str(),
             Milliseconds(o.ms).c_str());
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
        nlohmann::ordered_json entry = {
            {"name", tag.name}, {"device", tag.device}, {"address", tag.address}, {"type", DataTypeName(tag.dataType)}};
        entry.update(ReadingJson(r.ok ? ValueJson(r.value) : nlohmann::ordered_json(nullptr), r.quality, r.ok,
                                 PacketReason(o, cycle.readings[p]), r.fileTime));
        entry["state"] = StateName(r);
        entry["packet"] = p + 1;
        tags.push_back(entry);
      }
      const velk::Packet& record = packet.record();
      packets.push_back({{"index", p + 1},
                         {"device", config.devices[packet.device()].name},
                         {"register", record.registerName != nullptr ? record.registerName : ""},
                         {"channels", ChannelsJson(record)},
                         {"tags", names},
                         {"result", o.result},
                         {"ok", o.result == 1},
                         {"reason", PacketReason(o, cycle.readings[p])},
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

// One row per reading, for spreadsheets: the header once, then
// cycle,ts,device,tag,value,quality,good,reason. Texts are quoted as RFC 4180
// quotes them.
class CsvRows final : public PollView {
 public:
  explicit CsvRows(const PollContext& context) : context_(context) {
    puts("cycle,ts,device,tag,value,quality,good,reason");
  }

  void ShowCycle(const CycleResult& cycle) override {
    const LineConfig& config = *context_.config;
    for (size_t p = 0; p < context_.plan->size(); ++p) {
      const HostPacket& packet = *(*context_.plan)[p];
      for (size_t i = 0; i < packet.tags().size(); ++i) {
        const TagEntry& tag = config.tags[packet.tags()[i]];
        const TagReading& r = cycle.readings[p][i];
        std::string value;
        if (r.ok) value = r.value.kind == TagValue::kText ? Quote(r.value.text) : ValueText(r.value);
        printf("%d,%s,%s,%s,%s,%u,%s,%s\n", cycle.cycle, FileTimeIso(r.fileTime).c_str(), Quote(tag.device).c_str(),
               Quote(tag.name).c_str(), value.c_str(), static_cast<unsigned>(r.quality), r.ok ? "true" : "false",
               r.ok ? "" : Quote(PacketReason(cycle.packets[p], cycle.readings[p])).c_str());
      }
    }
    fflush(stdout);
  }

 private:
  static std::string Quote(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
  }

  PollContext context_;
};

}  // namespace

nlohmann::ordered_json ChannelsJson(const velk::Packet& p) {
  if (p.channelLow == -1 && p.channelHigh == -1) return nullptr;
  return {p.channelLow, p.channelHigh};
}

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
    case PollViewKind::kLiveTable: return std::make_unique<LiveTable>(context);
    case PollViewKind::kJson: return std::make_unique<JsonLines>(context);
    case PollViewKind::kCsv: return std::make_unique<CsvRows>(context);
    default: return std::make_unique<PlainLines>(context);
  }
}

}  // namespace velkhost
