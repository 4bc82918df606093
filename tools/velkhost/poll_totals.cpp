#include "poll_totals.h"

#include "text_encoding.h"
#include "value_format.h"

namespace velkhost {
using namespace hostlib;

std::string FailureSummary(const DeviceTotals& totals) {
  std::string text;
  for (const auto& failure : totals.failures)
    text += (text.empty() ? "" : ", ") + failure.first + " " + std::to_string(failure.second);
  if (totals.heldBack != 0)
    text += (text.empty() ? "" : ", ") + std::string("held back ") + std::to_string(totals.heldBack);
  return text.empty() ? "-" : text;
}

void LineTotals::Add(size_t device, bool good, const std::string& reason, uint64_t fileTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device >= devices_.size()) return;
  DeviceTotals& t = devices_[device];
  ++t.requests;
  if (good) {
    ++t.good;
    t.lastGood = fileTime;
  } else {
    ++t.failures[reason];
  }
}

void LineTotals::Hold(size_t device) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device < devices_.size()) ++devices_[device].heldBack;
}

std::vector<DeviceTotals> LineTotals::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

bool LineTotals::TrySnapshot(std::vector<DeviceTotals>* out) const {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  *out = devices_;
  return true;
}

void PrintTotals(FILE* out, const LineConfig& config, const std::vector<DeviceTotals>& totals) {
  // Times in UTC, as the tags' own times are shown.
  fprintf(out, "%-16s %8s %8s  %-24s %s\n", "DEVICE", "REQUESTS", "GOOD", "LAST GOOD (UTC)", "FAILURES");
  for (size_t d = 0; d < totals.size() && d < config.devices.size(); ++d) {
    const DeviceTotals& t = totals[d];
    if (t.requests == 0) continue;
    fprintf(out, "%s %8llu %8llu  %-24s %s\n", PadToWidth(config.devices[d].name, 16).c_str(),
            static_cast<unsigned long long>(t.requests), static_cast<unsigned long long>(t.good),
            t.lastGood != 0 ? FileTimeIso(t.lastGood).c_str() : "never", FailureSummary(t).c_str());
  }
}

}  // namespace velkhost
