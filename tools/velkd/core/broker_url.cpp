#include "core/broker_url.h"

#include <stdlib.h>

namespace velkd {

bool ParseBrokerAddress(const std::string& url, BrokerAddress* address, std::string* error) {
  const bool tls = url.rfind("mqtts://", 0) == 0;
  if (!tls && url.rfind("mqtt://", 0) != 0) {
    *error = "broker '" + url + "' must start with mqtt:// or mqtts://";
    return false;
  }
  std::string rest = url.substr(tls ? 8 : 7);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host = rest;
  long port = tls ? 8883 : 1883;
  // "[::1]:1883" keeps the colons of its address inside the brackets.
  const size_t close = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = rest.substr(0, colon);
    const std::string digits = rest.substr(colon + 1);
    char* end = nullptr;
    port = digits.empty() ? 0 : strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || port < 1 || port > 65535) {
      *error = "broker '" + url + "': port '" + digits + "' is not a number from 1 to 65535";
      return false;
    }
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || host.find_first_of("/@ []") != std::string::npos) {
    *error = "broker '" + url + "' has no host name (write mqtt://HOST:PORT; user and password have keys of their own)";
    return false;
  }
  address->tls = tls;
  address->host = host;
  address->port = static_cast<int>(port);
  return true;
}

}  // namespace velkd
