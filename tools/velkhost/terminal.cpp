#include "terminal.h"

#include "platform/terminal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace velkhost {

bool StdoutIsTerminal() { return platform::StandardOutputIsTerminal(); }

// The progress bar of a scan goes to the error output, which the platform
// layer does not describe.
bool StderrIsTerminal() {
#ifdef _WIN32
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
  return isatty(STDERR_FILENO) == 1;
#endif
}

int TerminalColumns() {
  int columns = 0, rows = 0;
  return platform::TerminalSize(&columns, &rows) ? columns : 0;
}

}  // namespace velkhost
