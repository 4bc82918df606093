#include <windows.h>

#include "platform/terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {

// A live view redraws with escape sequences and prints UTF-8. A console that
// takes neither (before Windows 10) gets plain lines instead: it counts as
// no terminal.
bool StandardOutputIsTerminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
      !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
    return false;
  SetConsoleOutputCP(CP_UTF8);
  return true;
}

bool TerminalSize(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return false;
  if (columns != nullptr) *columns = info.srWindow.Right - info.srWindow.Left + 1;
  if (rows != nullptr) *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return true;
}

}  // namespace platform
