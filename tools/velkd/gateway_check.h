// `velkd --check`: everything a start would read, judged in one pass without
// a port or a broker: the files, every file they name (CA, password, token,
// certificate), the driver's verdict on every device and tag, the Modbus
// places and the secrets' sources. The findings come in file order, each
// with its file and line, then one summary line.
#ifndef VELKD_GATEWAY_CHECK_H
#define VELKD_GATEWAY_CHECK_H

#include <string>
#include <vector>

#include "driver_library.h"
#include "mqtt/mqtt_settings.h"
#include "sparkplug/sparkplug_settings.h"

namespace velkd {

struct CheckRequest {
  std::vector<std::string> files;
  std::string broker;  // --broker, or empty
  std::string http;    // --http, or empty
  std::string port;    // --port, or empty
  std::string modbus;  // --modbus, or empty
};

// [sparkplug] without a broker of its own talks to [mqtt]'s (or --broker's).
void BorrowBroker(const MqttSettings& mqtt, sparkplug::BrokerSettings* broker);

// `library`: loaded, or with the error of its loading. The exit status: 0
// nothing wrong (warnings allowed), 2 a problem.
int CheckGateway(const CheckRequest& request, hostlib::DriverLibrary& library, bool libraryLoaded);

}  // namespace velkd

#endif
