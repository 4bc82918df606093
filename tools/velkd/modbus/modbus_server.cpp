#include "modbus/modbus_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "core/journal_log.h"
#include "modbus/modbus_requests.h"

namespace velkd {
namespace {

std::string PeerName(int fd) {
  sockaddr_storage address = {};
  socklen_t size = sizeof address;
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    if (address.ss_family == AF_INET) {
      const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&address);
      inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
      port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
      const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
      inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
      port = ntohs(v6->sin6_port);
    }
  }
  return std::string(host) + ":" + std::to_string(port);
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True when the MBAP header of what has arrived announces no more than has
// arrived: the frame is whole and libmodbus takes it at once.
bool WholeFrameHere(int fd) {
  uint8_t head[MODBUS_TCP_MAX_ADU_LENGTH];
  const ssize_t got = recv(fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
  return got >= 7 && got >= 6 + (head[4] << 8 | head[5]);
}

}  // namespace

ModbusServer::ModbusServer(Lines& lines, std::shared_ptr<const ModbusMap> map)
    : lines_(lines),
      listen_(map->listen),
      host_(map->host),
      port_(map->port),
      maxClients_(map->maxClients),
      map_(std::move(map)) {}

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(std::string* error) {
  listener_ = modbus_new_tcp_pi(host_.c_str(), port_.c_str());
  if (listener_ == nullptr) {
    *error = "Modbus on " + listen_ + ": " + modbus_strerror(errno);
    return false;
  }
  listenFd_ = modbus_tcp_pi_listen(listener_, SOMAXCONN);
  if (listenFd_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "Modbus on " + listen_ + ": cannot listen: " + modbus_strerror(errno);
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    modbus_free(listener_);
    listener_ = nullptr;
    return false;
  }
  fcntl(listenFd_, F_SETFD, FD_CLOEXEC);
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  Log(kInfo, "Modbus TCP on %s (at most %u clients)", listen_.c_str(), maxClients_);
  return true;
}

void ModbusServer::Stop() {
  if (!acceptor_.joinable()) return;
  stopping_ = true;
  const char byte = 0;
  if (write(wake_[1], &byte, 1) != 1) Log(kWarning, "Modbus: cannot wake the listener");
  acceptor_.join();
  {
    // A client's thread ends once its socket reads nothing more; an answer
    // it is about to send (a write the line just carried out) still goes.
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (Client& client : connected_)
      if (client.fd >= 0) shutdown(client.fd, SHUT_RD);
  }
  for (Client& client : connected_) client.thread.join();
  connected_.clear();
  close(listenFd_);
  modbus_free(listener_);
  listener_ = nullptr;
  close(wake_[0]);
  close(wake_[1]);
}

void ModbusServer::SetMap(std::shared_ptr<const ModbusMap> map) {
  std::lock_guard<std::mutex> lock(mapMutex_);
  map_ = std::move(map);
}

std::shared_ptr<const ModbusMap> ModbusServer::Map() {
  std::lock_guard<std::mutex> lock(mapMutex_);
  return map_;
}

void ModbusServer::Reap() {
  std::list<Client> gone;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (auto it = connected_.begin(); it != connected_.end();) {
      auto next = std::next(it);
      if (it->done) gone.splice(gone.end(), connected_, it);
      it = next;
    }
  }
  for (Client& client : gone) client.thread.join();
}

int ModbusServer::CloseOverdue(int64_t now) {
  int64_t next = 1000;
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (Client& client : connected_) {
    const int64_t since = client.frameSince;
    if (client.fd < 0 || since == 0 || client.closedFor != nullptr) continue;
    if (now - since >= kFrameMs) {
      client.closedFor = "frame not whole within a second";
      shutdown(client.fd, SHUT_RDWR);
    } else {
      next = std::min(next, since + kFrameMs - now);
    }
  }
  return static_cast<int>(next);
}

bool ModbusServer::MakeRoom() {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  // A client connected or served within the grace has had no time to ask or
  // to be answered: it does not give way, or a burst of newcomers would push
  // out a reader between its connect and its answer.
  const int64_t graceEnd = SteadyMs() - kGraceMs;
  Client* silent = nullptr;
  for (Client& client : connected_)
    if (client.fd >= 0 && client.closedFor == nullptr && client.answered <= graceEnd &&
        (silent == nullptr || client.answered < silent->answered))
      silent = &client;
  if (silent == nullptr) return false;
  silent->closedFor = "gave way to a new client";
  shutdown(silent->fd, SHUT_RDWR);
  return true;
}

void ModbusServer::Admit(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ++clients_;
  std::lock_guard<std::mutex> lock(clientsMutex_);
  connected_.emplace_back();
  Client* client = &connected_.back();
  client->fd = fd;
  client->answered = SteadyMs();
  client->thread = std::thread([this, client] { Serve(client); });
}

void ModbusServer::SettleWaiting(int64_t now) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    char byte;
    const ssize_t peeked = recv(it->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    const bool left = peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    // A place that came free goes to whoever waits; one is made only for a
    // request already whole.
    if (!left && (clients_ < maxClients_ || (WholeFrameHere(it->fd) && MakeRoom()))) {
      Admit(it->fd);
      it = waiting_.erase(it);
    } else if (left || now - it->since >= kFrameMs) {
      close(it->fd);
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
}

void ModbusServer::AcceptLoop() {
  bool refusing = false;
  std::vector<pollfd> fds;
  while (!stopping_) {
    fds.assign({{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}});
    for (const Waiting& w : waiting_) fds.push_back({w.fd, POLLIN, 0});
    // A held newcomer whose request is whole but finds no place yet is
    // looked at again soon: a place comes free once a grace runs out.
    int timeout = CloseOverdue(SteadyMs());
    if (!waiting_.empty()) timeout = std::min(timeout, kGraceMs / 5);
    const int ready = poll(fds.data(), fds.size(), timeout);
    Reap();
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      char sink[64];
      while (read(wake_[0], sink, sizeof sink) > 0) {}
    }
    if (!waiting_.empty()) SettleWaiting(SteadyMs());
    if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (clients_ < maxClients_) {
      refusing = false;
      Admit(fd);
    } else if (waiting_.size() < kWaitingMax) {
      // Its place is made once its request is whole, not before: a client
      // that connects and dribbles must not push out one being served.
      waiting_.push_back({fd, SteadyMs()});
    } else {
      if (!refusing)
        Log(kWarning, "Modbus: %u clients and %zu waiting already; refusing more", maxClients_, waiting_.size());
      refusing = true;
      close(fd);
    }
  }
  for (const Waiting& w : waiting_) close(w.fd);
  waiting_.clear();
}

bool ModbusServer::AwaitFrame(Client* client, const char** why) {
  pollfd p = {client->fd, POLLIN, 0};
  const int ready = poll(&p, 1, kIdleSeconds * 1000);
  if (ready == 0) *why = "idle";
  if (ready <= 0) return false;
  const int64_t now = SteadyMs();
  client->frameSince = now;
  // Only a frame that has yet to arrive whole needs the acceptor's watch
  // now; a whole one is seen at its next round, at most a second on.
  if (!WholeFrameHere(client->fd)) {
    const char byte = 0;
    if (write(wake_[1], &byte, 1) != 1) {
      // Full: the acceptor is awake already.
    }
  }
  return true;
}

void ModbusServer::Serve(Client* client) {
  const std::string peer = PeerName(client->fd);
  Log(kInfo, "Modbus: %s connected", peer.c_str());
  // A context of its own per client: libmodbus keeps the socket in it.
  modbus_t* ctx = modbus_new_tcp_pi(host_.c_str(), port_.c_str());
  const char* why = "closed by the client";
  if (ctx == nullptr) {
    why = "no memory";
  } else {
    modbus_set_socket(ctx, client->fd);
    modbus_set_indication_timeout(ctx, kIdleSeconds, 0);
    // Once a frame has begun, the rest of it follows at once or never.
    modbus_set_byte_timeout(ctx, 1, 0);
    ModbusRequests requests(lines_, stopping_);
    uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stopping_ && AwaitFrame(client, &why)) {
      const int length = modbus_receive(ctx, request);
      client->frameSince = 0;
      if (length == 0) continue;
      // A client whose request is whole is being served: it is not the one
      // to give way to a newcomer while its answer is on its way.
      if (length > 0) client->answered = SteadyMs();
      if (length < 0) {
        why = errno == ETIMEDOUT ? "frame not whole" : errno == EMBBADDATA ? "malformed frame" : "closed";
        break;
      }
      if (!requests.Answer(ctx, *Map(), request, length)) {
        why = "malformed frame";
        break;
      }
      client->answered = SteadyMs();
    }
  }
  if (client->closedFor != nullptr) why = client->closedFor;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    if (ctx != nullptr) {
      modbus_set_socket(ctx, -1);
      modbus_free(ctx);
    }
    close(client->fd);
    client->fd = -1;
    client->done = true;
  }
  --clients_;
  Log(kInfo, "Modbus: %s gone (%s)", peer.c_str(), why);
}

}  // namespace velkd
