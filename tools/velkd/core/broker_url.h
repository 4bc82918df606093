// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" ("[::1]" for IPv6): the
// broker address every face that talks to a broker reads the same way.
#ifndef VELKD_CORE_BROKER_URL_H
#define VELKD_CORE_BROKER_URL_H

#include <string>

namespace velkd {

struct BrokerAddress {
  bool tls = false;
  std::string host;
  int port = 1883;  // 8883 for mqtts:// when none is given
};

// False with a reason that names the URL when it is not of that form.
bool ParseBrokerAddress(const std::string& url, BrokerAddress* address, std::string* error);

}  // namespace velkd

#endif
