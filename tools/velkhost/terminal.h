// What the program needs of the terminal it runs in: whether an output goes
// to a person, and how wide it is.
#ifndef VELKHOST_TERMINAL_H
#define VELKHOST_TERMINAL_H

#include "stop_signal.h"

namespace velkhost {
using namespace hostlib;

bool StdoutIsTerminal();
bool StderrIsTerminal();

// Columns of the terminal on standard output; 0 when unknown.
int TerminalColumns();

}  // namespace velkhost

#endif
