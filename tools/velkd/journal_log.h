// Lines for standard error. For journald (standard error not a terminal)
// they carry the syslog priority, "<6>velkd: text"; on a terminal they read
// "velkd: text". One line per call, never torn by another thread's line.
#ifndef VELKD_JOURNAL_LOG_H
#define VELKD_JOURNAL_LOG_H

#include <string>

namespace velkd {

enum Priority { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

void Log(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Lines less urgent than `level` are left out (kInfo unless set).
void SetLogLevel(Priority level);
// "error", "warning", "notice", "info", "debug"; false for anything else.
bool PriorityFromName(const std::string& name, Priority* priority);

}  // namespace velkd

#endif
