// Serves a simulated line on a TCP port as well, the way a device server in
// raw mode would: one client at a time, its bytes relayed to the line's
// pseudo-terminal and the line's bytes back. Further clients wait in the
// listen queue until the current one leaves.
#ifndef VELK_SIM_TCP_RELAY_H
#define VELK_SIM_TCP_RELAY_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/net_socket.h"

namespace sim {

class TcpRelay {
 public:
  TcpRelay() = default;
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // Listens on `bindAddress`:`port` and relays to the serial line at
  // `linePath` (the served pseudo-terminal's slave side).
  bool Start(const std::string& linePath, const std::string& bindAddress, uint16_t port, std::string* error);
  // Ends the client's connection and the listening. Safe to call twice.
  void Stop();

 private:
  void Run();
  void TurnAwayOthers(platform::net::Socket client);
  void Serve(platform::net::Socket client);

  std::string linePath_;
  platform::net::Socket listener_ = platform::net::kNoSocket;
  platform::net::Socket pending_ = platform::net::kNoSocket;  // the next client, while one is served
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace sim

#endif
