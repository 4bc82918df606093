#include <signal.h>
#include <string.h>

#include "platform/interrupt.h"

namespace platform {
namespace {

volatile sig_atomic_t interrupted = 0;
bool installed = false;

void OnSignal(int) { interrupted = 1; }

}  // namespace

bool CatchInterrupts() {
  if (installed) return true;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) return false;
  installed = true;
  return true;
}

bool InterruptRequested() { return interrupted != 0; }

}  // namespace platform
