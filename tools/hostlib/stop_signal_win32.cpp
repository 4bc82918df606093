// The console runs its control handler on a thread of its own, which counts
// the stop and wakes the waiting thread through an event.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "exit_codes.h"
#include "stop_signal.h"

namespace hostlib {
namespace {

std::atomic<int> stops{0};
HANDLE wakeEvent = nullptr;
std::string programName = "velk";

// Long enough for a command between exchanges to end by itself (its sleeps
// look every 20 ms), short enough that Ctrl-C feels immediate.
const DWORD kGraceMs = 60;

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (++stops >= 2) {
    fprintf(stderr, "\n%s: stopped at once (second Ctrl-C)\n", programName.c_str());
    fflush(stderr);
    ExitProcess(kExitInterrupted);
  }
  if (wakeEvent != nullptr) SetEvent(wakeEvent);
  return TRUE;
}

}  // namespace

void InstallStopHandler(const char* program, bool) {
  static std::once_flag once;
  std::call_once(once, [program] {
    programName = program;
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnControl, TRUE);
  });
}

bool StopRequested() { return stops.load() != 0; }

const char* StopSignalName() { return StopRequested() ? "Ctrl-C" : ""; }

bool TakeReloadRequest() { return false; }

void WaitForSignal(int ms) {
  if (StopRequested()) return;
  if (wakeEvent == nullptr)
    Sleep(static_cast<DWORD>(ms));
  else
    WaitForSingleObject(wakeEvent, static_cast<DWORD>(ms));
}

// The console's handler runs on a thread of its own; no other thread is
// ever interrupted.
void KeepStopSignalsFromNewThreads() {}
void AcceptStopSignalsHere() {}

int RunStoppable(const std::function<int()>& command) {
  InstallStopHandler(programName.c_str());
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
    ReportForcedExit(programName.c_str());
    ExitProcess(kExitInterrupted);
  }
  worker.join();
  return StopRequested() ? kExitInterrupted : result;
}

}  // namespace hostlib
