// The progress bar of a scan goes to the error output, which the platform
// layer does not describe. Stopping: the signal handler only counts and
// wakes the main thread through a pipe, the one thing it may safely do.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "session.h"
#include "terminal.h"

namespace velkhost {
namespace {

volatile sig_atomic_t stops = 0;
int wakePipe[2] = {-1, -1};
std::function<void()> forcedExitReport;

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

void OnStop(int) {
  stops = stops + 1;
  if (stops >= 2) {
    static const char kForced[] = "\nvelkhost: stopped at once (second Ctrl-C)\n";
    ssize_t ignored = write(STDERR_FILENO, kForced, sizeof kForced - 1);
    (void)ignored;
    _exit(kExitInterrupted);
  }
  Wake('s');
}

void Drain() {
  char bytes[16];
  while (read(wakePipe[0], bytes, sizeof bytes) > 0) {
  }
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

}  // namespace

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void InstallStopHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe(wakePipe) == 0) {
      for (int fd : wakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  });
}

bool StopRequested() { return stops != 0; }

void SetForcedExitReport(std::function<void()> report) { forcedExitReport = std::move(report); }

int RunStoppable(const std::function<int()>& command) {
  InstallStopHandler();
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
    fflush(stdout);
    if (forcedExitReport) forcedExitReport();
    fprintf(stderr, "velkhost: stopped while the driver waited for an answer\n");
    fflush(stderr);
    _exit(kExitInterrupted);
  }
  worker.join();
  return StopRequested() ? kExitInterrupted : result;
}

}  // namespace velkhost
