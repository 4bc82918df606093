// The signal handler only counts and wakes the waiting thread through a
// pipe, the one thing it may safely do.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "exit_codes.h"
#include "stop_signal.h"

namespace hostlib {
namespace {

// Atomics, not volatile sig_atomic_t: the handler runs on whichever thread
// takes the signal, and other threads read them. Lock-free, so the handler
// may touch them.
std::atomic<int> stops{0};
std::atomic<int> stopSignal{0};
std::atomic<int> reloads{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");
int wakePipe[2] = {-1, -1};
std::string programName = "velk";
// Written before the handler is installed, read by it.
char forcedText[96] = "\nstopped at once (second Ctrl-C)\n";

// Long enough for a command between exchanges to end by itself (its sleeps
// look every 20 ms), short enough that Ctrl-C feels immediate.
const int kGraceMs = 60;

void Wake(char why) {
  if (wakePipe[1] < 0) return;
  const int saved = errno;
  ssize_t ignored = write(wakePipe[1], &why, 1);
  (void)ignored;
  errno = saved;
}

void OnStop(int signal) {
  stopSignal = signal;
  if (stops.fetch_add(1) + 1 >= 2) {
    ssize_t ignored = write(STDERR_FILENO, forcedText, strlen(forcedText));
    (void)ignored;
    _exit(kExitInterrupted);
  }
  Wake('s');
}

void OnReload(int) {
  reloads.fetch_add(1);
  Wake('r');
}

void Drain() {
  char bytes[16];
  while (read(wakePipe[0], bytes, sizeof bytes) > 0) {}
}

// Waits for a byte on the pipe up to `ms` (-1: without bound); false when
// the time passed.
bool WaitForWake(int ms) {
  pollfd p = {wakePipe[0], POLLIN, 0};
  for (;;) {
    const int n = poll(&p, 1, ms);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void InstallStopHandler(const char* program, bool takeReload) {
  static std::once_flag once;
  std::call_once(once, [program, takeReload] {
    programName = program;
    snprintf(forcedText, sizeof forcedText, "\n%s: stopped at once (second Ctrl-C)\n", program);
    if (pipe(wakePipe) == 0) {
      for (int fd : wakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (takeReload) {
      action.sa_handler = OnReload;
      sigaction(SIGHUP, &action, nullptr);
    }
  });
}

bool StopRequested() { return stops != 0; }

const char* StopSignalName() {
  if (stops == 0) return "";
  return stopSignal == SIGTERM ? "SIGTERM" : "SIGINT";
}

bool TakeReloadRequest() { return reloads.exchange(0) != 0; }

void WaitForSignal(int ms) {
  if (StopRequested() || reloads != 0) return;
  if (wakePipe[0] < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  if (WaitForWake(ms)) Drain();
}

void KeepStopSignalsFromNewThreads() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void AcceptStopSignalsHere() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int RunStoppable(const std::function<int()>& command) {
  InstallStopHandler(programName.c_str());
  if (wakePipe[0] < 0) return command();  // no pipe: Ctrl-C is seen between exchanges only
  std::atomic<bool> done{false};
  int result = kExitOk;
  std::thread worker([&] {
    result = command();
    done = true;
    Wake('d');
  });
  while (!done) {
    WaitForWake(-1);
    Drain();
    if (done || !StopRequested()) continue;
    // Stopped: the command ends by itself between exchanges; inside a
    // driver call it cannot, and the process leaves without it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMs);
    while (!done) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !WaitForWake(static_cast<int>(left.count()))) break;
      Drain();
    }
    if (done) break;
    if (isatty(STDOUT_FILENO) == 1) fputs("\x1b[0m\n", stdout);
    ReportForcedExit(programName.c_str());
    _exit(kExitInterrupted);
  }
  worker.join();
  return StopRequested() ? kExitInterrupted : result;
}

}  // namespace hostlib
