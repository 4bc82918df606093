#include <windows.h>

#include "platform/interrupt.h"

namespace platform {
namespace {

volatile LONG interrupted = 0;
bool installed = false;

BOOL WINAPI OnControl(DWORD) {
  InterlockedExchange(&interrupted, 1);
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
