#include "core/service_notify.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <mutex>
#include <set>

#include "core/journal_log.h"

namespace velkd {
namespace {

using Clock = std::chrono::steady_clock;

// One per line thread, living as long as the thread: it joins the registry
// at the thread's first pass and leaves it when the thread ends, so a line
// stopped by a reload is never waited for.
struct LineBeat {
  const std::string line;
  std::atomic<Clock::rep> last{Clock::now().time_since_epoch().count()};
  explicit LineBeat(const std::string& name);
  ~LineBeat();
};

std::mutex registryMutex;
std::set<LineBeat*>& Registry() {
  static std::set<LineBeat*> beats;
  return beats;
}

LineBeat::LineBeat(const std::string& name) : line(name) {
  std::lock_guard<std::mutex> lock(registryMutex);
  Registry().insert(this);
}

LineBeat::~LineBeat() {
  std::lock_guard<std::mutex> lock(registryMutex);
  Registry().erase(this);
}

// The watchdog's time, or zero where there is none (no systemd, or a unit
// without WatchdogSec=). Asked once: the environment does not change.
std::chrono::microseconds WatchdogTime() {
  static const std::chrono::microseconds time = [] {
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? std::chrono::microseconds(usec) : std::chrono::microseconds(0);
  }();
  return time;
}

void Notify(const std::string& state) {
  // 0: the environment stays, for a reload's or a helper's later calls.
  sd_notify(0, state.c_str());
}

}  // namespace

void LineAlive(const std::string& line) {
  // Named once, before any other thread can see it.
  thread_local LineBeat beat(line);
  beat.last.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

void NotifyReady(const std::string& status) { Notify("READY=1\nSTATUS=" + status); }

void NotifyReloading() { Notify("RELOADING=1\nSTATUS=reading the files again"); }

void NotifyReloaded(const std::string& status) { Notify("READY=1\nSTATUS=" + status); }

void NotifyStopping() { Notify("STOPPING=1\nSTATUS=stopping"); }

void FeedWatchdog() {
  const std::chrono::microseconds watchdog = WatchdogTime();
  if (watchdog.count() == 0) return;
  // Half the time: the feed that follows still arrives before systemd's
  // limit, and a line's longest wait is well within it.
  const Clock::duration allowed = std::chrono::duration_cast<Clock::duration>(watchdog / 2);
  const Clock::time_point now = Clock::now();
  static std::string stuck;
  std::string late;
  Clock::duration age{};
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    for (const LineBeat* beat : Registry()) {
      const Clock::time_point last{Clock::duration(beat->last.load(std::memory_order_relaxed))};
      if (now - last > allowed) {
        late = beat->line;
        age = now - last;
        break;
      }
    }
  }
  if (late.empty()) {
    if (!stuck.empty()) Log(kNotice, "line %s comes round again; the watchdog is fed again", stuck.c_str());
    stuck.clear();
    Notify("WATCHDOG=1");
    return;
  }
  if (late != stuck)
    Log(kError,
        "line %s has not come round its loop for %.0f s (stuck in a driver call?); the watchdog is no longer fed",
        late.c_str(), std::chrono::duration<double>(age).count());
  stuck = late;
}

}  // namespace velkd
