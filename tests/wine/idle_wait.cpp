// How soon the idle wait of the transaction notices an answer on Windows:
// the platform layer's Wait (the first byte read with a time-out)
// against the old loop of ClearCommError and Sleep(1), on the same port in
// the same run, without raising the system timer.
//
//   velk_idle_wait COM5 [exchanges]
//
// The port is a line on which velksim plays a Velk4011 at address 1 with
// checksums and, for the delayed case, a Velk4017 at address 2 that answers
// after a delay (scripts/wine-idle-wait.sh sets this up under Wine). Each
// exchange writes "$AAM" and collects the answer up to its carriage return;
// the time from the start of the write to the answer's end is reported as
// median and 99th percentile, with the waits per exchange.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_api.h"

namespace {

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::string Command(int address) {
  char text[16];
  snprintf(text, sizeof text, "$%02XM", address);
  unsigned sum = 0;
  for (const char* p = text; *p != '\0'; ++p) sum += static_cast<unsigned char>(*p);
  char full[24];
  snprintf(full, sizeof full, "%s%02X\r", text, sum & 0xFF);
  return full;
}

struct Figures {
  std::vector<double> ms;
  long wakeUps = 0;
  int failed = 0;
};

// One exchange; false when no complete answer came within a second.
bool Exchange(platform::Port& port, const std::string& command, bool sleepLoop, Figures* figures) {
  port.Discard(platform::Queue::kInput);
  uint32_t written = 0;
  const double start = NowMs();
  if (!port.Write(command.data(), static_cast<uint32_t>(command.size()), &written)) return false;
  char answer[512];
  uint32_t length = 0;
  for (;;) {
    const double now = NowMs();
    if (now - start > 1000.0) return false;
    // A look at the input queue (ClearCommError), as the old loop had it.
    uint32_t got = 0;
    if (port.Wait(0) == platform::WaitResult::kInput) {
      const uint32_t room = sizeof answer - length;
      if (room == 0 || !port.Read(answer + length, room, &got)) return false;
    }
    if (got == 0) {
      ++figures->wakeUps;
      if (sleepLoop)
        Sleep(1);
      else
        port.Wait(static_cast<uint32_t>(1000.0 - (now - start)) + 1);
      continue;
    }
    length += got;
    if (answer[length - 1] == '\r') break;
  }
  figures->ms.push_back(NowMs() - start);
  return true;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: velk_idle_wait PORT [exchanges]\n");
    return 2;
  }
  const int exchanges = argc > 2 ? atoi(argv[2]) : 200;
  platform::SerialApi& api = platform::SystemSerialApi();
  const std::string path = argv[1];
  const std::unique_ptr<platform::Port> opened = api.Open(path.c_str()).port;
  if (opened == nullptr) {
    fprintf(stderr, "velk_idle_wait: cannot open %s\n", path.c_str());
    return 1;
  }
  platform::Port& port = *opened;
  port.Configure(platform::LineSettings{9600, 8, 0, 1});
  port.SetWriteLimit(100, 0);

  printf("%-28s %10s %10s %14s %8s\n", "idle wait", "median ms", "p99 ms", "waits/exch", "failed");
  const struct {
    const char* name;
    int address;
  } lines[] = {{"module answers at once", 1}, {"module answers after delay", 2}};
  for (const auto& line : lines) {
    const std::string command = Command(line.address);
    // Both loops in turn, exchange by exchange, so that a noisy moment of
    // the machine falls on both alike.
    Figures sleep1, wait;
    for (int i = 0; i < exchanges; ++i) {
      if (!Exchange(port, command, true, &sleep1)) ++sleep1.failed;
      if (!Exchange(port, command, false, &wait)) ++wait.failed;
    }
    const Figures* rows[] = {&sleep1, &wait};
    const char* names[] = {"Sleep(1) loop", "Wait"};
    printf("%s (address %d)\n", line.name, line.address);
    for (int r = 0; r < 2; ++r) {
      const Figures& f = *rows[r];
      const double perExchange = f.ms.empty() ? 0.0 : static_cast<double>(f.wakeUps) / static_cast<double>(f.ms.size());
      printf("  %-26s %10.3f %10.3f %14.1f %8d\n", names[r], Percentile(f.ms, 0.5), Percentile(f.ms, 0.99), perExchange,
             f.failed);
    }
  }
  return 0;
}
