// The half of stopping that is the same on every system: sleeping in short
// steps that look for a stop, and what a forced exit reports.
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "stop_signal.h"

namespace hostlib {
namespace {

// The command's thread sets and clears the report; the waiting thread runs
// it. It runs under the lock, so the command cannot clear it and leave the
// scope the report reads meanwhile.
std::mutex reportLock;
std::function<void()> forcedExitReport;

}  // namespace

void SleepUnlessStopped(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!StopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20)));
  }
}

void SetForcedExitReport(std::function<void()> report) {
  std::lock_guard<std::mutex> hold(reportLock);
  forcedExitReport = std::move(report);
}

void ReportForcedExit(const char* program) {
  fflush(stdout);
  {
    std::lock_guard<std::mutex> hold(reportLock);
    if (forcedExitReport) forcedExitReport();
  }
  fprintf(stderr, "%s: stopped while the driver waited for an answer\n", program);
  fflush(stderr);
}

}  // namespace hostlib
