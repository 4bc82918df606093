#include "journal_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace velkd {
namespace {

std::atomic<int> logLevel{kInfo};

bool PrefixPriorities() {
  static const bool prefix = isatty(STDERR_FILENO) != 1;
  return prefix;
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
  int used = PrefixPriorities() ? snprintf(line, sizeof line, "<%d>velkd: ", static_cast<int>(priority))
                                : snprintf(line, sizeof line, "velkd: ");
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
