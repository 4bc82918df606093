// The program's standard output as a terminal: whether it is one (a live
// view may redraw it) and how wide it is.
#ifndef VELK_PLATFORM_TERMINAL_H
#define VELK_PLATFORM_TERMINAL_H

namespace platform {

bool StandardOutputIsTerminal();

// Columns and rows of the terminal; false when standard output is none.
bool TerminalSize(int* columns, int* rows);

}  // namespace platform

#endif
