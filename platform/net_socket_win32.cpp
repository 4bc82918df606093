// TCP sockets on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>

#include "platform/clock.h"
#include "platform/net_socket.h"

namespace platform {
namespace net {
namespace {

bool Started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Native(Socket s) { return static_cast<SOCKET>(s); }
bool Valid(Socket s) { return s != kNoSocket && Native(s) != INVALID_SOCKET; }

timeval ToTimeval(uint32_t ms) {
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return tv;
}

// Keep-alive at the system's intervals: Windows tunes them per socket only
// through an ioctl the older systems lack.
void TuneConnection(SOCKET s) {
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
}

bool MakeNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// 1 ready, 0 time-out, -1 failure; `write` selects for sending.
int SelectOne(SOCKET s, bool write, uint32_t ms, bool* failed) {
  fd_set ready, failures;
  FD_ZERO(&ready);
  FD_ZERO(&failures);
  FD_SET(s, &ready);
  FD_SET(s, &failures);
  timeval tv = ToTimeval(ms);
  const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failures, &tv);
  if (failed != nullptr) *failed = n > 0 && FD_ISSET(s, &failures);
  return n;
}

addrinfo* Resolve(const char* host, uint16_t port, bool passive) {
  addrinfo hints;
  ZeroMemory(&hints, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  char service[8];
  snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0) return nullptr;
  return list;
}

ConnectResult ConnectOne(const addrinfo* ai, uint32_t deadline, Socket* out) {
  const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == INVALID_SOCKET) return ConnectResult::kOther;
  if (!MakeNonBlocking(s)) {
    closesocket(s);
    return ConnectResult::kOther;
  }
  int error = 0;
  if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      bool failed = false;
      const int n = SelectOne(s, true, TickRemaining(SystemClock().TickMs(), deadline), &failed);
      if (n == 0) {
        closesocket(s);
        return ConnectResult::kTimedOut;
      }
      int length = sizeof error;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) error = WSAGetLastError();
      if (error == 0 && failed) error = WSAECONNREFUSED;
    }
  }
  if (error != 0) {
    closesocket(s);
    return error == WSAECONNREFUSED ? ConnectResult::kRefused
           : error == WSAETIMEDOUT  ? ConnectResult::kTimedOut
                                    : ConnectResult::kOther;
  }
  TuneConnection(s);
  *out = static_cast<Socket>(s);
  return ConnectResult::kConnected;
}

}  // namespace

ConnectResult Connect(const char* host, uint16_t port, uint32_t maxMs, Socket* out) {
  *out = kNoSocket;
  if (!Started()) return ConnectResult::kOther;
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
  if (!Started()) {
    *error = "Winsock did not start";
    return kNoSocket;
  }
  addrinfo* list = Resolve(bindAddress, port, true);
  if (list == nullptr) {
    *error = std::string("cannot resolve the bind address ") + bindAddress;
    return kNoSocket;
  }
  SOCKET s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
  if (s == INVALID_SOCKET || !MakeNonBlocking(s) || bind(s, list->ai_addr, static_cast<int>(list->ai_addrlen)) != 0 ||
      listen(s, 4) != 0) {
    *error = std::string("cannot listen on ") + bindAddress + " port " + std::to_string(port);
    if (s != INVALID_SOCKET) closesocket(s);
    s = INVALID_SOCKET;
  }
  freeaddrinfo(list);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

Socket Accept(Socket listener, uint32_t maxMs) {
  if (!Valid(listener) || SelectOne(Native(listener), false, maxMs, nullptr) <= 0) return kNoSocket;
  const SOCKET s = accept(Native(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  if (!MakeNonBlocking(s)) {
    closesocket(s);
    return kNoSocket;
  }
  TuneConnection(s);
  return static_cast<Socket>(s);
}

ReceiveResult Receive(Socket s, void* bytes, uint32_t capacity, uint32_t* got) {
  *got = 0;
  if (!Valid(s)) return ReceiveResult::kClosed;
  if (capacity == 0) return ReceiveResult::kNothing;
  const int n = recv(Native(s), static_cast<char*>(bytes), static_cast<int>(capacity), 0);
  if (n > 0) {
    *got = static_cast<uint32_t>(n);
    return ReceiveResult::kData;
  }
  if (n == 0) return ReceiveResult::kClosed;
  return WSAGetLastError() == WSAEWOULDBLOCK ? ReceiveResult::kNothing : ReceiveResult::kClosed;
}

bool SendAll(Socket s, const void* bytes, uint32_t count, uint32_t maxMs) {
  if (!Valid(s)) return false;
  const uint32_t deadline = SystemClock().TickMs() + maxMs;
  const char* next = static_cast<const char*>(bytes);
  uint32_t done = 0;
  while (done < count) {
    const int n = send(Native(s), next + done, static_cast<int>(count - done), 0);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    const uint32_t left = TickRemaining(SystemClock().TickMs(), deadline);
    bool failed = false;
    if (left == 0 || SelectOne(Native(s), true, left, &failed) <= 0 || failed) return false;
  }
  return true;
}

Readiness WaitReadable(Socket s, uint32_t maxMs) {
  if (!Valid(s)) return Readiness::kFailed;
  bool failed = false;
  const int n = SelectOne(Native(s), false, maxMs, &failed);
  if (n == 0) return Readiness::kTimeout;
  // A closed stream is readable: the receive reports it.
  return n > 0 ? Readiness::kReadable : Readiness::kFailed;
}

// Winsock does not tell how much of the send queue is unacknowledged: the
// bytes count as gone once the stack took them.
uint32_t UnsentBytes(Socket) { return 0; }

void CloseSocket(Socket s) {
  if (Valid(s)) closesocket(Native(s));
}

}  // namespace net
}  // namespace platform
