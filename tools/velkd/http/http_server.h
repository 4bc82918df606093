// velkd's HTTP face: /metrics for Prometheus, / with /page.js and /page.css
// for a person with a browser, and /api/state as JSON. Every answer is
// built from copies of the lines' state, so a slow or hostile client never
// holds up a line. The face is read-only: GET and HEAD, nothing else.
#ifndef VELKD_HTTP_SERVER_H
#define VELKD_HTTP_SERVER_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>

#include "http/http_settings.h"

namespace httplib {
class Server;
class Stream;
struct Request;
}  // namespace httplib

namespace velkd {

class Gateway;
class HttpListener;

class HttpServer {
 public:
  explicit HttpServer(Gateway& gateway);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Where the Modbus TCP face is on, how many clients it has now: shown on
  // /metrics and /api/state. Set before Start; left empty, the face is off.
  void SetModbusClients(std::function<size_t()> count) { modbusClients_ = std::move(count); }

  // Binds (so that a port in use is known at once) and serves on a thread
  // of its own. `token` empty: no token asked (loopback only; the settings'
  // check sees to that). False with the reason in `error`.
  bool Start(const HttpSettings& settings, const std::string& token, std::string* error);
  void Stop();

  // The routes alone, no socket: Start sets them up first; a caller of its
  // own (a fuzzer) then hands requests to ServeOne from any stream.
  void Route(const std::string& token, bool tls);
  void ServeOne(httplib::Stream& stream);

  std::string MetricsPage();
  std::string StatePage();

 private:
  bool Authorized(const httplib::Request& request) const;

  Gateway& gateway_;
  std::function<size_t()> modbusClients_;
  std::string token_;
  bool tls_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<HttpListener> listener_;
};

}  // namespace velkd

#endif
