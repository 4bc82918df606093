// A line behind a serial device server, reached by its port name:
// "tcp:HOST:PORT" is a raw TCP stream to the server's serial port (the line
// settings are the server's own); "rfc2217:HOST:PORT" is Telnet with COM
// Port Control, and the line's settings, discards and direction go to the
// server. It is a port like a device's, so the exchange, the Data paths and
// the probe run over it unchanged.
#ifndef VELK_PLATFORM_NET_LINE_H
#define VELK_PLATFORM_NET_LINE_H

#include <stdint.h>

#include "platform/serial_api.h"

namespace platform {

struct NetPortName {
  bool rfc2217 = false;
  char host[32] = {};  // a name, an IPv4 address or an IPv6 address without brackets
  uint16_t port = 0;
};

// True when `name` (after a Windows device prefix) asks for a network line,
// well-formed or not: such a name is never looked up as a device.
bool IsNetPortName(const char* name);
// Parses "tcp:HOST:PORT" or "rfc2217:HOST:PORT"; HOST may be "[v6 address]".
// A Windows device prefix ("\\.\", "//./") is dropped first.
bool ParseNetPortName(const char* name, NetPortName* out);

// How long connecting (and re-connecting) may take, and how long the server
// may take to answer a COM Port command. The line's answer time-out does
// not reach the port, so this is a setting of its own.
const uint32_t kDefaultConnectTimeoutMs = 3000;

// Connects to the line `name` names. The port holds its connection, its
// settings and its decoded input, and connects again by itself at the next
// write after the server went away. A host hands over devices only: there
// is no adopting a network line.
Opened OpenNetPort(const char* name, uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs);

}  // namespace platform

#endif
