// The Modbus TCP face of velkd: one listening address, one thread per
// connected client (at most max_clients), libmodbus for the framing. A
// client idle for a minute is dropped, and so is one whose frame is not
// whole within a second of its first byte; a malformed frame closes that
// client's connection only. At the limit, a new client waits, held by the
// acceptor, until its first request is whole; then it takes the place of
// the one silent longest. Clients that hold a connection without asking, or
// dribble their frames, so never keep out one that asks, and never take a
// place from one. Answers come from the lines'
// latest readings, so neither a slow line nor a slow client holds up
// anything else.
#ifndef VELKD_MODBUS_SERVER_H
#define VELKD_MODBUS_SERVER_H

#include <modbus.h>

#include <stdint.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/gateway.h"
#include "modbus/modbus_map.h"

namespace velkd {

class ModbusServer {
 public:
  ModbusServer(Lines& lines, std::shared_ptr<const ModbusMap> map);
  ~ModbusServer();
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  // Listens on the map's address. False with the reason when it cannot.
  bool Start(std::string* error);
  // Closes every connection and the listening socket.
  void Stop();
  // The map of a reloaded configuration; the listening address stays.
  void SetMap(std::shared_ptr<const ModbusMap> map);

  // Clients connected now.
  size_t clients() const { return clients_; }
  const std::string& listen() const { return listen_; }

  // How long a client may stay silent before it is dropped.
  static const int kIdleSeconds = 60;
  // How long a frame may take from its first byte to its last.
  static const int kFrameMs = 1000;
  // How long a new or just-served client is safe from giving way to another.
  static const int kGraceMs = 250;
  // Newcomers held while every place is taken; beyond them one is refused.
  static const size_t kWaitingMax = 64;

 private:
  struct Client {
    int fd = -1;  // -1 once closed
    std::thread thread;
    bool done = false;
    // Steady-clock milliseconds: when its frame began (0: none begun), when
    // it connected or was last answered. Written by its thread, read by
    // the acceptor.
    std::atomic<int64_t> frameSince{0};
    std::atomic<int64_t> answered{0};
    // Closed by the acceptor, and why.
    std::atomic<const char*> closedFor{nullptr};
  };

  void AcceptLoop();
  void Serve(Client* client);
  std::shared_ptr<const ModbusMap> Map();
  // Joins the threads of clients that have gone.
  void Reap();
  // Closes the connections whose frame has taken too long; the time until
  // the next frame is due, in milliseconds (at most a second).
  int CloseOverdue(int64_t now);
  // At the limit: closes the client silent longest, past its grace. False
  // when none can go.
  bool MakeRoom();
  // Starts serving `fd` in a place of its own.
  void Admit(int fd);
  // Admits held newcomers while places are free, and those whose request is
  // whole where a place can be made; lets go those whose second is up or
  // who left.
  void SettleWaiting(int64_t now);
  // Waits for a frame to begin; false when the connection ended or stayed
  // idle, with the reason.
  bool AwaitFrame(Client* client, const char** why);

  Lines& lines_;
  std::string listen_;
  std::string host_;
  std::string port_;
  uint32_t maxClients_ = 0;
  std::mutex mapMutex_;
  std::shared_ptr<const ModbusMap> map_;
  modbus_t* listener_ = nullptr;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> clients_{0};
  std::mutex clientsMutex_;
  std::list<Client> connected_;
  // Held newcomers, the acceptor's alone: socket and when it was accepted.
  struct Waiting {
    int fd;
    int64_t since;
  };
  std::vector<Waiting> waiting_;
};

}  // namespace velkd

#endif
