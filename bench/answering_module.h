// A module on the master side of a pseudo-terminal that answers every
// command line with one fixed reading: the far end of the exchange
// benchmarks.
#ifndef VELK_BENCH_ANSWERING_MODULE_H
#define VELK_BENCH_ANSWERING_MODULE_H

#include <poll.h>
#include <stdint.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// A module on the master side that answers every command line, at once or
// after a turnaround time.
class AnsweringModule {
 public:
  explicit AnsweringModule(int master, uint32_t turnaroundUs = 0)
      : master_(master), turnaroundUs_(turnaroundUs), thread_([this] { Run(); }) {}
  ~AnsweringModule() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    std::string pending;
    while (!stop_) {
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char bytes[256];
      const ssize_t n = read(master_, bytes, sizeof bytes);
      if (n <= 0) continue;
      pending.append(bytes, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find('\r')) != std::string::npos) {
        pending.erase(0, end + 1);
        if (turnaroundUs_ > 0) std::this_thread::sleep_for(std::chrono::microseconds(turnaroundUs_));
        if (write(master_, ">+001.50\r", 9) != 9) return;
      }
    }
  }

  int master_;
  uint32_t turnaroundUs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

#endif
