#include <windows.h>

#include "platform/interrupt.h"

namespace platform {
namespace {

volatile LONG interrupted = 0;
bool installed = false;

// Ctrl-C, Ctrl-Break, a closed console window, log-off and shut-down all
// ask the program to stop. The last three end the process once the handler
// returns, so the handler waits a little for the main loop to close the port.
BOOL WINAPI OnControl(DWORD event) {
  InterlockedExchange(&interrupted, 1);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(500);
  return TRUE;
}

}  // namespace

bool CatchInterrupts() {
  if (installed) return true;
  if (!SetConsoleCtrlHandler(OnControl, TRUE)) return false;
  installed = true;
  return true;
}

bool InterruptRequested() { return InterlockedCompareExchange(&interrupted, 0, 0) != 0; }

}  // namespace platform
