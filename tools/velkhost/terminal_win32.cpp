// The progress bar of a scan goes to the error output, which the platform
// layer does not describe.
#include <windows.h>

#include "terminal.h"

namespace velkhost {

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace velkhost
