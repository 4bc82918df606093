#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace platform {

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool TerminalSize(int* columns, int* rows) {
  struct winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return false;
  if (columns != nullptr) *columns = size.ws_col;
  if (rows != nullptr) *rows = size.ws_row;
  return true;
}

}  // namespace platform
