// Lines for standard error in the form journald takes: "<6>velkd: text",
// the number being the syslog priority. One line per call, never torn by
// another thread's line.
#ifndef VELKD_JOURNAL_LOG_H
#define VELKD_JOURNAL_LOG_H

namespace velkd {

enum Priority { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

void Log(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace velkd

#endif
