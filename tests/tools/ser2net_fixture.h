// Debian's ser2net started by a test on loopback ports, serving devices
// (pseudo-terminals), and stopped with the object.
#ifndef VELK_TESTS_TOOLS_SER2NET_FIXTURE_H
#define VELK_TESTS_TOOLS_SER2NET_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "child_process.h"
#include "tests/support/loopback_port.h"

namespace tooltest {

inline const char kSer2net[] = "/usr/sbin/ser2net";

inline uint16_t FreePort() { return testsupport::FreeLoopbackPort(); }

// Whether something listens on the loopback port, read from the kernel's
// table so that asking opens no session.
inline bool Listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char local[16];
  snprintf(local, sizeof local, ":%04X ", port);
  while (std::getline(table, line))
    if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos) return true;
  return false;
}

// ser2net serving two devices: one raw, one as RFC 2217. Two, because
// ser2net keeps a device busy for a moment after a client left, and the
// next client of the same device would be turned away.
class Ser2net {
 public:
  Ser2net(const std::string& rawDevice, const std::string& telnetDevice)
      : rawDevice_(rawDevice), telnetDevice_(telnetDevice), rawPort_(FreePort()), telnetPort_(FreePort()) {}
  ~Ser2net() { Stop(); }

  bool Start() {
    const std::string config =
        dir_.Write("ser2net.yaml", "%YAML 1.1\n---\nconnection: &raw\n  accepter: tcp,127.0.0.1," +
                                       std::to_string(rawPort_) + "\n  connector: serialdev," + rawDevice_ +
                                       ",9600n81,local\n  options:\n    kickolduser: true\n"
                                       "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                                       std::to_string(telnetPort_) + "\n  connector: serialdev," + telnetDevice_ +
                                       ",9600n81,local\n  options:\n    kickolduser: true\n");
    if (!program_.Start({kSer2net, "-n", "-c", config, "-P", dir_.path() + "/pid"})) return false;
    for (int i = 0; i < 250; ++i) {
      if (Listening(rawPort_) && Listening(telnetPort_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  void Stop() { program_.Stop(); }

  std::string Name(bool rfc2217) const {
    return (rfc2217 ? "rfc2217:127.0.0.1:" : "tcp:127.0.0.1:") + std::to_string(rfc2217 ? telnetPort_ : rawPort_);
  }
  std::string log() const { return program_.out() + program_.err(); }

 private:
  std::string rawDevice_;
  std::string telnetDevice_;
  uint16_t rawPort_;
  uint16_t telnetPort_;
  TempDir dir_;
  BackgroundProgram program_;
};

}  // namespace tooltest

#endif
