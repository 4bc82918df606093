// What the program needs of the terminal it runs in: whether an output goes
// to a person, and a Ctrl-C that ends a loop cleanly between exchanges.
#ifndef VELKHOST_TERMINAL_H
#define VELKHOST_TERMINAL_H

#include <functional>

namespace velkhost {

bool StdoutIsTerminal();
bool StderrIsTerminal();

// After this, Ctrl-C (and SIGTERM) only sets a flag that loops look at
// between exchanges, so the port is closed and the line left quiet. A second
// Ctrl-C ends the program at once.
void InstallStopHandler();
bool StopRequested();

// Runs `command` on a worker thread and waits for it or for Ctrl-C. A
// driver call cannot be interrupted and may wait out a long time-out, so
// when the command has not ended shortly after the stop, this thread
// restores the terminal, calls `report` (when set) and leaves the process
// with kExitInterrupted; the driver is never called from two threads.
// Returns the command's exit code, or kExitInterrupted after a stop.
int RunStoppable(const std::function<int()>& command);

// What a forced exit prints first, e.g. running totals. Called on the main
// thread while the command may still run: it must guard what it reads.
void SetForcedExitReport(std::function<void()> report);

// Columns of the terminal on standard output; 0 when unknown.
int TerminalColumns();

// Sleeps up to `ms`, returning early once a stop was requested.
void SleepUnlessStopped(int ms);

}  // namespace velkhost

#endif
