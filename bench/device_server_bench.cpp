// One command exchange through Debian's ser2net on loopback, raw and as
// RFC 2217, against the same exchange on the pseudo-terminal directly: what
// a device server in the path costs when the module answers at once.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pseudo_terminal.h"
#include "platform/serial_api.h"
#include "serial/serial_line.h"
#include "answering_module.h"
#include "tests/support/loopback_port.h"

extern char** environ;

namespace {

const char kSer2net[] = "/usr/sbin/ser2net";
using testsupport::FreeLoopbackPort;

const uint16_t kRawPort = FreeLoopbackPort();
const uint16_t kRawPromptPort = FreeLoopbackPort();
const uint16_t kTelnetPromptPort = FreeLoopbackPort();

// ser2net serving the pseudo-terminal raw and as RFC 2217, stopped with
// the object.
class Ser2net {
 public:
  explicit Ser2net(const std::string& device) {
    char dir[] = "/tmp/velk-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    const std::string config = dir_ + "/ser2net.yaml";
    // ser2net holds back what the device sends until the line has been
    // quiet a few character times (chardelay), to send it in one piece; the
    // "prompt" ports switch that off.
    std::ofstream(config) << "%YAML 1.1\n---\nconnection: &raw\n  accepter: tcp,127.0.0.1," << kRawPort
                          << "\n  connector: serialdev," << device << ",9600n81,local\n"
                          << "connection: &prompt\n  accepter: tcp,127.0.0.1," << kRawPromptPort
                          << "\n  connector: serialdev," << device
                          << ",9600n81,local\n  options:\n    chardelay: false\n"
                          << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << kTelnetPromptPort
                          << "\n  connector: serialdev," << device
                          << ",9600n81,local\n  options:\n    chardelay: false\n";
    const char* argv[] = {kSer2net, "-n", "-c", config.c_str(), "-P", nullptr, nullptr};
    const std::string pidFile = dir_ + "/pid";
    argv[5] = pidFile.c_str();
    if (posix_spawn(&pid_, kSer2net, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
  }
  ~Ser2net() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
      unlink((dir_ + "/ser2net.yaml").c_str());
      unlink((dir_ + "/pid").c_str());
      rmdir(dir_.c_str());
    }
  }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5), v.size() - 1)];
}

// Opens the line on `name`, retrying while ser2net starts up.
bool OpenLine(serial::SerialLine& line, const std::string& name) {
  velk::PortSettings s{};
  name.copy(s.portName, sizeof s.portName - 1);
  s.baudRate = 9600;
  s.dataBits = 8;
  s.timeoutMs = 1000;
  for (int i = 0; i < 100; ++i) {
    if (line.OpenPort(&s) == 1) {
      line.pollDelayMs = 0;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Argument: 0 the pseudo-terminal directly; through ser2net 1 raw, 2 raw
// without chardelay, 3 RFC 2217 without chardelay.
void BM_ExchangeThroughDeviceServer(benchmark::State& state) {
  const int path = static_cast<int>(state.range(0));
  platform::PseudoTerminal pty;
  if (!pty.Create()) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  std::unique_ptr<Ser2net> server;
  std::string name = pty.slavePath();
  if (path > 0) {
    if (access(kSer2net, X_OK) != 0) {
      state.SkipWithError("ser2net is not installed");
      return;
    }
    server.reset(new Ser2net(pty.slavePath()));
    name = path == 1   ? "tcp:127.0.0.1:" + std::to_string(kRawPort)
           : path == 2 ? "tcp:127.0.0.1:" + std::to_string(kRawPromptPort)
                       : "rfc2217:127.0.0.1:" + std::to_string(kTelnetPromptPort);
  }
  platform::SerialApi& api = platform::SystemSerialApi();
  serial::SerialLine line(api, platform::SystemClock());
  if ((server != nullptr && !server->running()) || !OpenLine(line, name)) {
    state.SkipWithError("cannot open the line");
    return;
  }
  AnsweringModule module(static_cast<int>(pty.master()));
  std::vector<double> micros;
  for (auto _ : state) {
    char buffer[512] = "#013\r";
    int32_t length = 5;
    const auto start = std::chrono::steady_clock::now();
    const int32_t ok = line.Exchange(buffer, &length, serial::kVelkAnswer);
    const auto stop = std::chrono::steady_clock::now();
    if (ok != 1) {
      state.SkipWithError("no answer");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  line.ClosePort();
  state.counters["median_us"] = Percentile(micros, 0.5);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}

BENCHMARK(BM_ExchangeThroughDeviceServer)
    ->ArgName("direct0_raw1_rawprompt2_rfc2217prompt3")
    ->DenseRange(0, 3)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
