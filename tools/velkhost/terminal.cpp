#include "terminal.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/terminal.h"

namespace velkhost {

bool StdoutIsTerminal() { return platform::StandardOutputIsTerminal(); }

int TerminalColumns() {
  int columns = 0, rows = 0;
  return platform::TerminalSize(&columns, &rows) ? columns : 0;
}

void SleepUnlessStopped(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!StopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20)));
  }
}

}  // namespace velkhost
