// What the program needs of the terminal it runs in: whether an output goes
// to a person, and a Ctrl-C that ends a loop cleanly between exchanges.
#ifndef VELKHOST_TERMINAL_H
#define VELKHOST_TERMINAL_H

namespace velkhost {

bool StdoutIsTerminal();
bool StderrIsTerminal();

// After this, Ctrl-C (and SIGTERM) only sets a flag that loops look at
// between exchanges, so the port is closed and the line left quiet.
void InstallStopHandler();
bool StopRequested();

// Sleeps up to `ms`, returning early once a stop was requested.
void SleepUnlessStopped(int ms);

}  // namespace velkhost

#endif
