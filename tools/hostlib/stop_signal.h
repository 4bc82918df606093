// The one way a tool of the product is asked to stop: Ctrl-C and SIGTERM
// (the console's control events on Windows) only set a flag that loops look
// at between exchanges, so the port is closed and the line left quiet; a
// second Ctrl-C ends the program at once. SIGHUP, where there is one, asks
// for a reload instead.
#ifndef VELK_HOSTLIB_STOP_SIGNAL_H
#define VELK_HOSTLIB_STOP_SIGNAL_H

#include <functional>

namespace hostlib {

// Installs the handler once; `program` names the tool in the messages of a
// forced exit. With `takeReload`, SIGHUP asks for a reload rather than
// ending the program.
void InstallStopHandler(const char* program, bool takeReload = false);
bool StopRequested();
// "SIGTERM", "SIGINT" (or "Ctrl-C"): what asked for the stop; "" before.
const char* StopSignalName();

// Takes (and clears) a reload request (SIGHUP).
bool TakeReloadRequest();

// Sleeps up to `ms` without using the processor, returning early once a
// stop or a reload was requested.
void WaitForSignal(int ms);

// Sleeps up to `ms`, returning early once a stop was requested.
void SleepUnlessStopped(int ms);

// Keeps the stop and reload signals away from the threads this thread
// starts after the call (a driver call on them is never interrupted); the
// calling thread takes them again with AcceptStopSignalsHere.
void KeepStopSignalsFromNewThreads();
void AcceptStopSignalsHere();

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

// The forced exit's last words, shared by both systems' RunStoppable: the
// report set above, then why `program` leaves without its command.
void ReportForcedExit(const char* program);

}  // namespace hostlib

#endif
