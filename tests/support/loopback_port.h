// A loopback TCP port for a server a test or benchmark starts itself.
#ifndef VELK_TESTS_SUPPORT_LOOPBACK_PORT_H
#define VELK_TESTS_SUPPORT_LOOPBACK_PORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

// A loopback port nobody listens on right now (0 when none could be had).
inline uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

}  // namespace testsupport

#endif
