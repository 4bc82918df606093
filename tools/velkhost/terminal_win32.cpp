// The progress bar of a scan goes to the error output, which the platform
// layer does not describe. Stopping: the console runs its control handler on
// a thread of its own, which counts the stop and wakes the main thread
// through an event.
#include <windows.h>

#include <stdio.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "session.h"
#include "terminal.h"

namespace velkhost {
namespace {

std::atomic<int> stops{0};
HANDLE wakeEvent = nullptr;
std::function<void()> forcedExitReport;

// Long enough for a command between exchanges to end by itself (its sleeps
// look every 20 ms), short enough that Ctrl-C feels immediate.
const DWORD kGraceMs = 60;

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (++stops >= 2) {
    fputs("\nvelkhost: stopped at once (second Ctrl-C)\n", stderr);
    fflush(stderr);
    ExitProcess(kExitInterrupted);
  }
  if (wakeEvent != nullptr) SetEvent(wakeEvent);
  return TRUE;
}

}  // namespace

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void InstallStopHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnControl, TRUE);
  });
}

bool StopRequested() { return stops.load() != 0; }

void SetForcedExitReport(std::function<void()> report) { forcedExitReport = std::move(report); }

int RunStoppable(const std::function<int()>& command) {
  InstallStopHandler();
  if (wakeEvent == nullptr) return command();  // Ctrl-C is seen between exchanges only
  std::atomic<bool> done{false};
  int result = kExitOk;
  std::thread worker([&] {
    result = command();
    done = true;
    SetEvent(wakeEvent);
  });
  while (!done) {
    WaitForSingleObject(wakeEvent, INFINITE);
    if (done || !StopRequested()) continue;
    // Stopped: the command ends by itself between exchanges; inside a
    // driver call it cannot, and the process leaves without it.
    const DWORD until = GetTickCount() + kGraceMs;
    while (!done) {
      const DWORD left = until - GetTickCount();
      if (left == 0 || left > kGraceMs || WaitForSingleObject(wakeEvent, left) != WAIT_OBJECT_0) break;
    }
    if (done) break;
    fflush(stdout);
    if (forcedExitReport) forcedExitReport();
    fputs("velkhost: stopped while the driver waited for an answer\n", stderr);
    fflush(stderr);
    ExitProcess(kExitInterrupted);
  }
  worker.join();
  return StopRequested() ? kExitInterrupted : result;
}

}  // namespace velkhost
