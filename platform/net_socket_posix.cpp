// TCP sockets on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/sockios.h>
#endif

#include "platform/clock.h"
#include "platform/net_socket.h"

namespace platform {
namespace net {
namespace {

int Fd(Socket s) { return s >= 0 && s <= INT_MAX ? static_cast<int>(s) : -1; }

int PollMs(uint32_t ms) { return static_cast<int>(ms > INT_MAX ? INT_MAX : ms); }

// A dead peer is noticed within about a minute even on a line that is
// quiet between polls.
void TuneConnection(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
  const int idle = 30, interval = 10, count = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Waits for `events` on `fd` until `deadline`; the revents, 0 on time-out.
short PollUntil(int fd, short events, uint32_t deadline) {
  Clock& clock = SystemClock();
  for (;;) {
    const uint32_t left = TickRemaining(clock.TickMs(), deadline);
    pollfd p = {fd, events, 0};
    const int ready = ::poll(&p, 1, PollMs(left));
    if (ready > 0) return p.revents;
    if (ready == 0 || errno != EINTR) return ready == 0 ? 0 : POLLERR;
  }
}

ConnectResult ConnectOne(const addrinfo* ai, uint32_t deadline, Socket* out) {
  const int fd = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (fd < 0) return ConnectResult::kOther;
  if (!MakeNonBlocking(fd)) {
    ::close(fd);
    return ConnectResult::kOther;
  }
  int error = 0;
  if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      const short revents = PollUntil(fd, POLLOUT, deadline);
      if (revents == 0) {
        ::close(fd);
        return ConnectResult::kTimedOut;
      }
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    }
  }
  if (error != 0) {
    ::close(fd);
    return error == ECONNREFUSED  ? ConnectResult::kRefused
           : (error == ETIMEDOUT) ? ConnectResult::kTimedOut
                                  : ConnectResult::kOther;
  }
  TuneConnection(fd);
  *out = fd;
  return ConnectResult::kConnected;
}

addrinfo* Resolve(const char* host, uint16_t port, bool passive) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  char service[8];
  snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0) return nullptr;
  return list;
}

}  // namespace

ConnectResult Connect(const char* host, uint16_t port, uint32_t maxMs, Socket* out) {
  *out = kNoSocket;
  const uint32_t deadline = SystemClock().TickMs() + maxMs;
  addrinfo* list = Resolve(host, port, false);
  if (list == nullptr) return ConnectResult::kUnknownHost;
  ConnectResult result = ConnectResult::kOther;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    result = ConnectOne(ai, deadline, out);
    if (result == ConnectResult::kConnected || result == ConnectResult::kTimedOut) break;
  }
  freeaddrinfo(list);
  return result;
}

Socket Listen(const char* bindAddress, uint16_t port, std::string* error) {
  addrinfo* list = Resolve(bindAddress, port, true);
  if (list == nullptr) {
    *error = std::string("cannot resolve the bind address ") + bindAddress;
    return kNoSocket;
  }
  int fd = ::socket(list->ai_family, list->ai_socktype, list->ai_protocol);
  const int on = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd < 0 || !MakeNonBlocking(fd) || ::bind(fd, list->ai_addr, list->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
    *error = std::string("cannot listen on ") + bindAddress + " port " + std::to_string(port) + ": " + strerror(errno);
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  freeaddrinfo(list);
  return fd < 0 ? kNoSocket : fd;
}

Socket Accept(Socket listener, uint32_t maxMs) {
  const int lfd = Fd(listener);
  if (lfd < 0) return kNoSocket;
  if (PollUntil(lfd, POLLIN, SystemClock().TickMs() + maxMs) == 0) return kNoSocket;
  const int fd = ::accept(lfd, nullptr, nullptr);
  if (fd < 0) return kNoSocket;
  if (!MakeNonBlocking(fd)) {
    ::close(fd);
    return kNoSocket;
  }
  TuneConnection(fd);
  return fd;
}

ReceiveResult Receive(Socket s, void* bytes, uint32_t capacity, uint32_t* got) {
  *got = 0;
  if (Fd(s) < 0) return ReceiveResult::kClosed;
  for (;;) {
    const ssize_t n = ::recv(Fd(s), bytes, capacity, 0);
    if (n > 0) {
#if defined(TCP_QUICKACK)
      // Acknowledged at once, not after the delayed-ACK timer: a server
      // that holds small writes back until its last one is acknowledged
      // (Nagle) would otherwise delay its next answer by that much. The
      // kernel clears the flag again by itself, so it is set per receive.
      const int on = 1;
      setsockopt(Fd(s), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
      *got = static_cast<uint32_t>(n);
      return ReceiveResult::kData;
    }
    if (n == 0) return capacity == 0 ? ReceiveResult::kNothing : ReceiveResult::kClosed;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? ReceiveResult::kNothing : ReceiveResult::kClosed;
  }
}

bool SendAll(Socket s, const void* bytes, uint32_t count, uint32_t maxMs) {
  const int fd = Fd(s);
  if (fd < 0) return false;
  const uint32_t deadline = SystemClock().TickMs() + maxMs;
  const char* next = static_cast<const char*>(bytes);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = ::send(fd, next + done, count - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const short revents = PollUntil(fd, POLLOUT, deadline);
    if (revents == 0 || ((revents & (POLLERR | POLLHUP | POLLNVAL)) && !(revents & POLLOUT))) return false;
  }
  return true;
}

Readiness WaitReadable(Socket s, uint32_t maxMs) {
  const int fd = Fd(s);
  if (fd < 0) return Readiness::kFailed;
  const short revents = PollUntil(fd, POLLIN, SystemClock().TickMs() + maxMs);
  if (revents == 0) return Readiness::kTimeout;
  // POLLHUP with nothing to read still means "receive now": the receive
  // then reports the closed stream.
  return (revents & (POLLIN | POLLHUP)) ? Readiness::kReadable : Readiness::kFailed;
}

// Not yet sent, rather than not yet acknowledged (SIOCOUTQ): the peer
// acknowledges a command late, with its answer or after the delayed-ACK
// timer, and a caller that polls for a drained queue would spin that long.
uint32_t UnsentBytes(Socket s) {
  int queued = 0;
#if defined(SIOCOUTQNSD)
  if (Fd(s) < 0 || ioctl(Fd(s), SIOCOUTQNSD, &queued) != 0) return 0;
#elif defined(SIOCOUTQ)
  if (Fd(s) < 0 || ioctl(Fd(s), SIOCOUTQ, &queued) != 0) return 0;
#else
  (void)s;
#endif
  return queued > 0 ? static_cast<uint32_t>(queued) : 0;
}

void CloseSocket(Socket s) {
  if (Fd(s) >= 0) ::close(Fd(s));
}

}  // namespace net
}  // namespace platform
