// What velkd tells systemd when a unit of Type=notify started it: ready once
// every face is up, stopping when a stop begins, and the watchdog's "still
// here" for as long as every line thread comes round its loop. A gateway
// whose line hangs in a driver call then stops feeding the watchdog, and
// systemd restarts it. Started any other way (no NOTIFY_SOCKET), every
// call here does nothing beyond its bookkeeping.
#ifndef VELKD_SERVICE_NOTIFY_H
#define VELKD_SERVICE_NOTIFY_H

#include <chrono>
#include <string>

namespace velkd {

// The longest a line thread may wait between two passes of its loop, so that
// an idle line (a tag read once an hour) is never taken for a hung one.
const std::chrono::seconds kLongestLineWait{5};

// Called by a line thread at every pass of its loop; `line` names it in the
// log if it stops coming round. The thread is followed from its first call
// until it ends.
void LineAlive(const std::string& line);

// READY=1, with a status line for `systemctl status`.
void NotifyReady(const std::string& status);
// RELOADING=1 before the files are read again on SIGHUP, READY=1 after.
void NotifyReloading();
void NotifyReloaded(const std::string& status);
// STOPPING=1: systemd waits for the stop instead of taking the gateway for
// one that failed.
void NotifyStopping();
// Called about once a second by the main thread: WATCHDOG=1 while every
// line thread followed has come round within half the watchdog's time; the
// first line that has not is logged once, with how long it has been.
void FeedWatchdog();

}  // namespace velkd

#endif
