#include <windows.h>

#include "platform/terminal.h"

namespace platform {

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool TerminalSize(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return false;
  if (columns != nullptr) *columns = info.srWindow.Right - info.srWindow.Left + 1;
  if (rows != nullptr) *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return true;
}

}  // namespace platform
