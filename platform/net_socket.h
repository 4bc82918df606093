// TCP sockets for lines behind device servers and for the simulator's own
// TCP port: the few calls that differ between BSD sockets and Winsock. All
// sockets are non-blocking; every wait is bounded.
#ifndef VELK_PLATFORM_NET_SOCKET_H
#define VELK_PLATFORM_NET_SOCKET_H

#include <stdint.h>

#include <string>

namespace platform {
namespace net {

typedef intptr_t Socket;
const Socket kNoSocket = -1;

enum class ConnectResult {
  kConnected,
  kRefused,      // nobody listens there
  kUnknownHost,  // the name does not resolve
  kTimedOut,     // no answer within the bound
  kOther,
};

// Resolves `host` (a numeric address or a name) and connects within
// `maxMs`; the socket gets TCP_NODELAY and keep-alive.
ConnectResult Connect(const char* host, uint16_t port, uint32_t maxMs, Socket* out);

// A listening socket on `bindAddress` ("127.0.0.1" for loopback only).
Socket Listen(const char* bindAddress, uint16_t port, std::string* error);
// Accepts one connection within `maxMs` (kNoSocket when none came); the
// socket gets TCP_NODELAY and keep-alive.
Socket Accept(Socket listener, uint32_t maxMs);

enum class ReceiveResult { kData, kNothing, kClosed };
// Takes what is waiting, up to `capacity` bytes, without blocking; a peer
// that closed and a failed connection are both kClosed.
ReceiveResult Receive(Socket s, void* bytes, uint32_t capacity, uint32_t* got);

// Sends all bytes, waiting at most `maxMs` for room in the send queue.
bool SendAll(Socket s, const void* bytes, uint32_t count, uint32_t maxMs);

enum class Readiness { kReadable, kTimeout, kFailed };
// Waits until bytes (or the end of the stream) can be received.
Readiness WaitReadable(Socket s, uint32_t maxMs);

// Bytes handed to the socket and not yet sent, where the system tells; 0
// where it does not.
uint32_t UnsentBytes(Socket s);

void CloseSocket(Socket s);

}  // namespace net
}  // namespace platform

#endif
