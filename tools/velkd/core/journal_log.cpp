#include "core/journal_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace velkd {
namespace {

std::atomic<int> logLevel{kInfo};

// journald hands a service a standard error whose device and inode it
// names in JOURNAL_STREAM; anything else (a terminal, a file, a pipe) is
// read without the journal's own time stamps.
bool ToJournal() {
  static const bool journal = [] {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat st = {};
    unsigned long long device = 0, inode = 0;
    return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(STDERR_FILENO, &st) == 0 &&
           st.st_dev == device && st.st_ino == inode;
  }();
  return journal;
}

// "2026-03-01T08:12:03.250Z " in UTC, as the tools write their times.
int TimeStamp(char* text, size_t size) {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc = {};
  gmtime_r(&now.tv_sec, &utc);
  char seconds[32];
  strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &utc);
  return snprintf(text, size, "%s.%03ldZ ", seconds, now.tv_nsec / 1000000);
}

}  // namespace

void SetLogLevel(Priority level) { logLevel = level; }

bool PriorityFromName(const std::string& name, Priority* priority) {
  static const struct {
    const char* name;
    Priority priority;
  } kNames[] = {{"error", kError}, {"warning", kWarning}, {"notice", kNotice}, {"info", kInfo}, {"debug", kDebug}};
  for (const auto& n : kNames) {
    if (name == n.name) {
      *priority = n.priority;
      return true;
    }
  }
  return false;
}

void Log(Priority priority, const char* format, ...) {
  if (static_cast<int>(priority) > logLevel) return;
  char line[1024];
  // The priority for journald, and for a person or a log collector reading
  // a file; the time stamp where the journal does not add its own.
  int used = ToJournal() ? 0 : TimeStamp(line, sizeof line);
  used += snprintf(line + used, sizeof line - static_cast<size_t>(used), "<%d>velkd: ", static_cast<int>(priority));
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line + used, sizeof line - static_cast<size_t>(used) - 1, format, args);
  va_end(args);
  used = n < 0 ? used : std::min<int>(used + n, static_cast<int>(sizeof line) - 2);
  line[used++] = '\n';
  // One write per line, so that lines of several threads never interleave.
  const ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(used));
  (void)written;
}

}  // namespace velkd
