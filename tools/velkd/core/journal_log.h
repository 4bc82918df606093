// Lines for standard error with their syslog priority, "<6>velkd: text".
// Where standard error is not the journal (a terminal, a file, a pipe) a
// time stamp in UTC goes first: "2026-03-01T08:12:03.250Z <6>velkd: text".
// One line per call, never torn by another thread's line.
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
