#include "journal_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

namespace velkd {

void Log(Priority priority, const char* format, ...) {
  char line[1024];
  int used = snprintf(line, sizeof line, "<%d>velkd: ", static_cast<int>(priority));
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
