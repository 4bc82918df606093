#include "http/metrics.h"

#include <dirent.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "outcome_text.h"
#include "velk4000/velk4000.h"

namespace velkd {
namespace {

std::string Number(double value) {
  if (isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (isnan(value)) return "NaN";
  char text[40];
  snprintf(text, sizeof text, "%.10g", value);
  return text;
}

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

// "utime stime ... starttime vsize rss" of /proc/self/stat, by field number
// (1-based, as proc(5) counts them); the name in parentheses may hold spaces.
bool ProcStat(std::vector<std::string>* fields) {
  std::ifstream file("/proc/self/stat");
  std::string text;
  if (!std::getline(file, text)) return false;
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  fields->assign(3, std::string());
  std::istringstream rest(text.substr(close + 1));
  for (std::string field; rest >> field;) fields->push_back(field);
  return fields->size() >= 25;
}

// The boot time in seconds since the epoch, from /proc/stat.
bool BootTime(double* seconds) {
  std::ifstream file("/proc/stat");
  for (std::string line; std::getline(file, line);)
    if (line.compare(0, 6, "btime ") == 0) {
      *seconds = strtod(line.c_str() + 6, nullptr);
      return true;
    }
  return false;
}

size_t OpenFds() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count > 0 ? count - 1 : 0;  // less the one reading the folder
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

void MetricsText::Sample(const char* name, const char* type, const char* help, const std::string& suffix,
                         const std::string& labels, const std::string& value) {
  Family* family = nullptr;
  for (Family& f : families_)
    if (f.name == name) family = &f;
  if (family == nullptr) {
    families_.push_back({name, type, help, std::string()});
    family = &families_.back();
  }
  family->samples += family->name + suffix;
  if (!labels.empty()) family->samples += "{" + labels + "}";
  family->samples += " " + value + "\n";
}

void MetricsText::AddLine(const LineSnapshot& line, std::chrono::system_clock::time_point now) {
  const LineFile& lineFile = *line.lineFile;
  const std::string lineLabel = Label("line", line.name);
  Sample("velk_line_port_open", "gauge", "1 while the line's port is open.", "", lineLabel,
         Number(uint64_t{line.portOpen}));
  Sample("velk_line_exchanges_total", "counter", "Command exchanges on the line, as the driver counts them.", "",
         lineLabel, Number(line.exchanges));
  Sample("velk_line_sent_bytes_total", "counter", "Bytes the driver wrote to the line.", "", lineLabel,
         Number(line.bytesSent));
  Sample("velk_line_received_bytes_total", "counter", "Bytes the driver read from the line.", "", lineLabel,
         Number(line.bytesReceived));
  Sample("velk_line_writes_queued", "gauge", "Writes waiting for a free slot on the line.", "", lineLabel,
         Number(uint64_t{line.writesQueued}));
  for (size_t d = 0; d < line.devices.size(); ++d) {
    const DeviceState& device = line.devices[d];
    const std::string labels = lineLabel + "," + Label("device", lineFile.config.devices[d].name);
    // Every outcome word has a series from the start, so that rate() and
    // increase() see the first failure of a kind.
    std::set<std::string> reasons;
    for (int32_t outcome = 0; outcome < velk::kOutcomeCount; ++outcome) reasons.insert(hostlib::OutcomeReason(outcome));
    for (const auto& [reason, count] : device.packetsByReason) reasons.insert(reason);
    for (const std::string& reason : reasons) {
      const auto found = device.packetsByReason.find(reason);
      Sample("velk_packets_total", "counter", "Packets polled or written, by outcome (\"ok\" or the failure's reason).",
             "", labels + "," + Label("reason", reason),
             Number(found == device.packetsByReason.end() ? uint64_t{0} : found->second));
    }
    uint64_t cumulative = 0;
    const char* histogramHelp = "Time from a packet's start to its end.";
    for (size_t b = 0; b < kPacketSecondsBuckets.size(); ++b) {
      cumulative += device.packetSeconds[b];
      Sample("velk_packet_duration_seconds", "histogram", histogramHelp, "_bucket",
             labels + "," + Label("le", Number(kPacketSecondsBuckets[b])), Number(cumulative));
    }
    cumulative += device.packetSeconds.back();
    Sample("velk_packet_duration_seconds", "histogram", histogramHelp, "_bucket", labels + ",le=\"+Inf\"",
           Number(cumulative));
    Sample("velk_packet_duration_seconds", "histogram", histogramHelp, "_sum", labels, Number(device.packetSecondsSum));
    Sample("velk_packet_duration_seconds", "histogram", histogramHelp, "_count", labels, Number(cumulative));
    Sample("velk_device_online", "gauge", "1 while the device's latest packet was good.", "", labels,
           Number(uint64_t{device.online}));
    // A device never heard from is infinitely late, so that one alert rule
    // ("> 60") catches it with the others.
    const double age =
        device.everGood ? std::max(0.0, std::chrono::duration<double>(now - device.lastGood).count()) : INFINITY;
    Sample("velk_device_last_good_age_seconds", "gauge",
           "Seconds since the device's last good answer (+Inf: none yet).", "", labels, Number(age));
  }
  // Values by tag: a series while the latest reading is good and numeric,
  // none otherwise, so that no graph draws a stale value as a live one.
  // velk_tag_good says which is which, text tags included.
  for (size_t t = 0; t < line.tags.size(); ++t) {
    const Reading& tag = line.tags[t];
    const TagRow& row = lineFile.tags[t];
    const std::string labels = lineLabel + "," + Label("device", row.device) + "," + Label("tag", row.name);
    Sample("velk_tag_good", "gauge", "1 while the tag's latest reading is good.", "", labels,
           Number(uint64_t{tag.good}));
    if (!tag.good) continue;
    // The engineering value, as every face publishes it.
    if (tag.engineering.number())
      Sample("velk_tag_value", "gauge", "The tag's latest good reading (a bit as 0 or 1).", "", labels,
             Number(tag.engineering.AsDouble()));
  }
}

void MetricsText::AddMqtt(bool connected) {
  Sample("velk_mqtt_connected", "gauge", "1 while velkd is connected to its MQTT broker.", "", "",
         Number(uint64_t{connected}));
}

void MetricsText::AddModbusClients(size_t clients) {
  Sample("velk_modbus_clients", "gauge", "Modbus TCP clients connected now.", "", "", Number(uint64_t{clients}));
}

void MetricsText::AddStore(const StoreStatus& store, std::chrono::system_clock::time_point now) {
  const StoreCounters& c = store.counters;
  Sample("velk_store_readings", "gauge", "Readings and write outcomes held in the store, waiting for the broker.", "",
         "", Number(c.held));
  Sample("velk_store_stored_total", "counter", "Records stored while the broker was away, since velkd started.", "", "",
         Number(c.stored));
  Sample("velk_store_forwarded_total", "counter",
         "Stored records the broker acknowledged and the store deleted, since velkd started.", "", "",
         Number(c.forwarded));
  Sample("velk_store_dropped_total", "counter", "Stored records dropped for the size limit, since velkd started.", "",
         "", Number(c.dropped));
  const double age = c.held == 0 || c.oldestMs == 0
                         ? 0.0
                         : std::chrono::duration<double>(
                               now - std::chrono::system_clock::time_point(std::chrono::milliseconds(c.oldestMs)))
                               .count();
  Sample("velk_store_oldest_age_seconds", "gauge", "Age of the oldest record in the store; 0 when it is empty.", "", "",
         Number(age > 0 ? age : 0.0));
}

void MetricsText::AddProcess() {
  std::vector<std::string> stat;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  double boot = 0.0;
  if (ProcStat(&stat) && ticks > 0) {
    Sample("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", "", "",
           Number((strtod(stat[14].c_str(), nullptr) + strtod(stat[15].c_str(), nullptr)) / ticks));
    Sample("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", "", "",
           Number(strtod(stat[23].c_str(), nullptr)));
    Sample("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", "", "",
           Number(strtod(stat[24].c_str(), nullptr) * page));
    // Known once: /proc/stat is long on a machine with many cores.
    static const double started = BootTime(&boot) ? boot + strtod(stat[22].c_str(), nullptr) / ticks : 0.0;
    if (started > 0)
      Sample("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", "", "",
             Number(started));
  }
  Sample("process_open_fds", "gauge", "Number of open file descriptors.", "", "", Number(uint64_t{OpenFds()}));
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    Sample("process_max_fds", "gauge", "Maximum number of open file descriptors.", "", "",
           Number(static_cast<uint64_t>(limit.rlim_cur)));
}

std::string MetricsText::Text() const {
  std::string text;
  for (const Family& f : families_) {
    text += "# HELP " + f.name + " " + f.help + "\n";
    text += "# TYPE " + f.name + " " + f.type + "\n";
    text += f.samples;
  }
  return text;
}

}  // namespace velkd
