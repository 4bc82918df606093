// Running totals of a poll per device: requests, good packets, failures by
// reason and the time of the last good packet. Kept under a lock, because a
// forced exit prints them from the main thread while a packet may still run.
#ifndef VELKHOST_POLL_TOTALS_H
#define VELKHOST_POLL_TOTALS_H

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "line_config.h"

namespace velkhost {
using namespace hostlib;

struct DeviceTotals {
  uint64_t requests = 0;
  uint64_t good = 0;
  std::map<std::string, uint64_t> failures;  // by reason
  uint64_t heldBack = 0;                     // packets not sent while held back
  uint64_t lastGood = 0;                     // file time; 0: never
};

// "no answer 3, refused 1, held back 12"; "-" without failures.
std::string FailureSummary(const DeviceTotals& totals);

class LineTotals {
 public:
  explicit LineTotals(size_t devices) : devices_(devices) {}

  // One packet of `device`: good, or failed for `reason`.
  void Add(size_t device, bool good, const std::string& reason, uint64_t fileTime);
  // One packet of `device` not sent: held back.
  void Hold(size_t device);
  std::vector<DeviceTotals> Snapshot() const;
  // Like Snapshot, but gives up instead of waiting for the lock.
  bool TrySnapshot(std::vector<DeviceTotals>* out) const;

 private:
  mutable std::mutex mutex_;
  std::vector<DeviceTotals> devices_;
};

// One line per device, with a heading, to `out`.
void PrintTotals(FILE* out, const LineConfig& config, const std::vector<DeviceTotals>& totals);

}  // namespace velkhost

#endif
