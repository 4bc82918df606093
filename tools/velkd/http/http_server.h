// velkd's HTTP face: /metrics for Prometheus, / with /page.js and /page.css
// for a person with a browser, and /api/state as JSON. Every answer is
// built from the lines' latest snapshots, without a lock any line or other
// face needs, so a slow or hostile client never holds up a line or a face. The face is read-only: GET and HEAD, nothing
// else.
#ifndef VELKD_HTTP_SERVER_H
#define VELKD_HTTP_SERVER_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>

#include "core/face.h"
#include "http/http_settings.h"

namespace httplib {
class Server;
class Stream;
struct Request;
}  // namespace httplib

namespace velkd {

class Lines;
class HttpListener;

class HttpServer : public Face {
 public:
  // `token` empty: no token asked (loopback only; the settings' check sees
  // to that).
  HttpServer(Lines& lines, const HttpSettings& settings, const std::string& token);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // What the other faces tell of themselves, shown on /metrics and
  // /api/state: why MQTT is not connected (empty: it is) and, where the
  // Modbus TCP face is on, how many clients it has now. Set before Start;
  // left empty, MQTT shows as not connected and Modbus as off.
  void SetMqttState(std::function<std::string()> whyNotConnected) { mqttNotConnected_ = std::move(whyNotConnected); }
  void SetModbusClients(std::function<size_t()> count) { modbusClients_ = std::move(count); }

  // Binds (so that a port in use is known at once) and serves on a thread
  // of its own. False with the reason logged.
  bool Start() override;
  void Stop() override;

  // The routes alone, no socket: Start sets them up first; a caller of its
  // own (a fuzzer) then hands requests to ServeOne from any stream.
  void Route();
  void ServeOne(httplib::Stream& stream);

  std::string MetricsPage();
  std::string StatePage();

 private:
  bool Authorized(const httplib::Request& request) const;

  Lines& lines_;
  const HttpSettings settings_;
  std::function<std::string()> mqttNotConnected_;
  std::function<size_t()> modbusClients_;
  const std::string token_;
  bool tls_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<HttpListener> listener_;
};

}  // namespace velkd

#endif
