#include "http/http_server.h"

#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/gateway.h"
#include "http/http_listener.h"
#include "core/journal_log.h"
#include "core/store_face.h"
#include "http/metrics.h"
#include "http/page_files.h"
#include "http/state_json.h"
#include "json/tag_json.h"

namespace velkd {
namespace {

// A request without a body, of one connection: a browser's page polls
// once a second, Prometheus less often, and keeping connections open would
// cost more than the answers.
const size_t kMaxBodyBytes = 4096;

// The library parses, routes and answers; the listener brings it requests
// whose bytes are in, or lets it read them under a deadline.
class Routes : public httplib::Server {
 public:
  // The library writes an answer only while it believes its own listening
  // socket open; here the listener has the socket, and this says whether
  // it serves (any descriptor but INVALID_SOCKET; the library closes it
  // only in stop(), which is never called).
  void SetServing(bool serving) { svr_sock_ = serving ? STDIN_FILENO : INVALID_SOCKET; }

  void ServeOne(httplib::Stream& stream) {
    bool closed = false;
    process_request(stream, true, closed, nullptr);
  }
};

// The page's own origin and nothing else: no inline script or style, no
// frames, no forms.
const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const char kTokenCookie[] = "velkd_token";

const char* ContentType(const std::string& name) {
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) return "text/html; charset=utf-8";
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0) return "text/javascript; charset=utf-8";
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0) return "text/css; charset=utf-8";
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".svg") == 0) return "image/svg+xml";
  return "application/octet-stream";
}

// More ranges than this in one request get the whole body instead: a
// client asking for many small pieces makes the answer cost more than the
// body, and a server may ignore a Range header.
const size_t kMaxRanges = 8;

// The library hands on the ranges of the Range header as the client wrote
// them, and writes whatever they name; here each is made to fit `size`
// bytes before an answer is built: a range past the end is cut at the end,
// one that starts beyond it is left out, and with none left the answer is
// 416. False then. `ranged` false: the whole body, 200, whatever was asked.
bool FitRanges(const httplib::Request& request, httplib::Response& response, size_t size, bool ranged) {
  // The handler sees the request as const, but it is the library's own
  // (non-const) object, and this is the one place its ranges can be
  // replaced before they are applied to the body.
  httplib::Ranges& ranges = const_cast<httplib::Request&>(request).ranges;
  if (!ranged || ranges.size() > kMaxRanges) {
    ranges.clear();
    return true;
  }
  const ssize_t end = static_cast<ssize_t>(size);
  httplib::Ranges fitted;
  for (const httplib::Range& r : ranges) {
    ssize_t first = r.first;
    ssize_t last = r.second;
    if (first < 0 && last < 0) continue;
    if (first < 0) {  // the last `last` bytes
      first = last < end ? end - last : 0;
      last = end - 1;
    } else if (last < 0 || last >= end) {
      last = end - 1;
    }
    if (first >= end || last < first) continue;
    fitted.emplace_back(first, last);
  }
  const bool asked = !ranges.empty();
  ranges = std::move(fitted);
  if (!asked || !ranges.empty()) return true;
  response.status = 416;
  response.set_header("Content-Range", "bytes */" + std::to_string(size));
  return false;
}

// Sends `size` bytes of `data` as they are. The library would compress an
// answer set with set_content for a client that accepts it, and brotli
// costs several times what building the answer does; a gateway's answers
// are small and its CPU is for the lines. The provider writes only what
// lies inside the body, whatever it is asked for: a piece outside it ends
// the connection instead.
void SendPlain(const httplib::Request& request, httplib::Response& response, std::shared_ptr<const std::string> keep,
               const char* data, size_t size, const char* type, bool ranged) {
  if (!FitRanges(request, response, size, ranged)) return;
  response.set_content_provider(size, type, [keep, data, size](size_t offset, size_t length, httplib::DataSink& sink) {
    return offset <= size && length <= size - offset && sink.write(data + offset, length);
  });
}

// A body built for this request: ranges are not served on it (they would
// name bytes of a body that changes with every request).
void SendPlain(const httplib::Request& request, httplib::Response& response, std::string body, const char* type) {
  auto keep = std::make_shared<const std::string>(std::move(body));
  SendPlain(request, response, keep, keep->data(), keep->size(), type, false);
}

httplib::Server::HandlerResponse Refuse(httplib::Response& response) {
  response.status = 401;
  response.set_header("WWW-Authenticate", "Bearer realm=\"velkd\"");
  response.set_content("a bearer token is needed: the Authorization header, or open /?token=TOKEN once\n",
                       "text/plain; charset=utf-8");
  return httplib::Server::HandlerResponse::Handled;
}

// Equal texts, in a time that does not tell how much of a guess was right.
bool SameSecret(const std::string& guess, const std::string& secret) {
  if (guess.size() != secret.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < guess.size(); ++i) differ |= static_cast<unsigned char>(guess[i] ^ secret[i]);
  return differ == 0;
}

}  // namespace

HttpServer::HttpServer(Lines& lines, const HttpSettings& settings, const std::string& token)
    : lines_(lines), settings_(settings), token_(token) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Authorized(const httplib::Request& request) const {
  if (token_.empty()) return true;
  const std::string header = request.get_header_value("Authorization");
  const char scheme[] = "Bearer ";
  if (header.size() > strlen(scheme) && strncasecmp(header.c_str(), scheme, strlen(scheme)) == 0)
    return SameSecret(header.substr(strlen(scheme)), token_);
  // A browser cannot send the header: it shows the token once in the
  // address (/?token=...) and carries it from then on in a cookie.
  const std::string cookies = request.get_header_value("Cookie");
  const std::string name = std::string(kTokenCookie) + "=";
  for (size_t at = 0; at < cookies.size();) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    while (at < end && cookies[at] == ' ') ++at;
    if (cookies.compare(at, name.size(), name) == 0 &&
        SameSecret(cookies.substr(at + name.size(), end - at - name.size()), token_))
      return true;
    at = end + 1;
  }
  return false;
}

std::string HttpServer::MetricsPage() {
  const auto now = std::chrono::system_clock::now();
  MetricsText metrics;
  for (const auto& line : lines_.plant()->lines) metrics.AddLine(*line->state().Latest(), now);
  metrics.AddMqtt(mqttNotConnected_ && mqttNotConnected_().empty());
  if (modbusClients_) metrics.AddModbusClients(modbusClients_());
  if (const StoreFace* store = lines_.store(); store != nullptr && store->open())
    metrics.AddStore(store->status(), now);
  metrics.AddProcess();
  return metrics.Text();
}

std::string HttpServer::StatePage() {
  const auto now = std::chrono::system_clock::now();
  nlohmann::ordered_json json;
  json["time"] = IsoTime(now);
  // One reading, so that "connected" and its reason never disagree.
  const std::string notConnected = mqttNotConnected_ ? mqttNotConnected_() : std::string("not started");
  json["mqtt"] = {{"connected", notConnected.empty()}};
  if (!notConnected.empty()) json["mqtt"]["reason"] = notConnected;
  if (modbusClients_) json["modbus"] = {{"clients", modbusClients_()}};
  if (const StoreFace* store = lines_.store(); store != nullptr && store->open()) {
    const StoreStatus status = store->status();
    json["store"] = {
        {"state", StoreStateName(status.state)}, {"since", IsoTime(status.since)}, {"readings", status.counters.held}};
  }
  json["lines"] = nlohmann::ordered_json::array();
  for (const auto& line : lines_.plant()->lines) json["lines"].push_back(LineJson(*line->state().Latest(), now));
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void HttpServer::ServeOne(httplib::Stream& stream) { static_cast<Routes*>(server_.get())->ServeOne(stream); }

void HttpServer::Route() {
  tls_ = settings_.tls();
  server_ = std::make_unique<Routes>();
  httplib::Server& server = *server_;
  server.set_payload_max_length(kMaxBodyBytes);
  server.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"}});
  std::set<std::string> pagePaths;
  for (size_t f = 0; f < kPageFileCount; ++f)
    pagePaths.insert(kPageFiles[f].name == std::string("index.html") ? "/" : "/" + std::string(kPageFiles[f].name));
  server.set_pre_routing_handler([this, pagePaths](const httplib::Request& request, httplib::Response& response) {
    // Only the page's files are served in pieces; every other answer
    // (refusals and errors too) goes whole.
    if (pagePaths.count(request.path) == 0) FitRanges(request, response, 0, false);
    if (!token_.empty() && request.path == "/" && request.has_param("token")) {
      // The token leaves the address bar (and the history entry after this
      // one) at once; the cookie goes back to this origin alone.
      if (!SameSecret(request.get_param_value("token"), token_)) return Refuse(response);
      response.status = 303;
      response.set_header("Location", "/");
      response.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + token_ +
                                            "; Path=/; HttpOnly; SameSite=Strict" + (tls_ ? "; Secure" : ""));
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!Authorized(request)) { return Refuse(response); }
    if (request.method != "GET" && request.method != "HEAD") {
      response.status = 405;
      response.set_header("Allow", "GET, HEAD");
      response.set_content("read-only: GET and HEAD only\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    const char* what = response.status == 404   ? " not found: try /, /metrics or /api/state"
                       : response.status == 413 ? " request too large"
                       : response.status == 416 ? " range not satisfiable"
                       : response.status < 500  ? " bad request"
                                                : " server error";
    response.set_content(std::to_string(response.status) + what + "\n", "text/plain; charset=utf-8");
  });
  server.Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
    SendPlain(request, response, MetricsPage(), "text/plain; version=0.0.4; charset=utf-8");
  });
  server.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
    SendPlain(request, response, StatePage(), "application/json");
  });
  for (size_t f = 0; f < kPageFileCount; ++f) {
    const PageFile& file = kPageFiles[f];
    const std::string name = file.name;
    const std::string path = name == "index.html" ? "/" : "/" + name;
    server.Get(path, [file](const httplib::Request& request, httplib::Response& response) {
      SendPlain(request, response, nullptr, reinterpret_cast<const char*>(file.data), file.size, ContentType(file.name),
                true);
    });
  }
  static_cast<Routes*>(server_.get())->SetServing(true);
}

bool HttpServer::Start() {
  const HttpSettings& settings = settings_;
  Route();
  listener_ = std::make_unique<HttpListener>();
  Routes* routes = static_cast<Routes*>(server_.get());
  std::string error;
  if (!listener_->Start(
          settings, [routes](httplib::Stream& stream) { routes->ServeOne(stream); }, &error)) {
    Log(kError, "%s", error.c_str());
    listener_.reset();
    server_.reset();
    return false;
  }
  Log(kInfo, "%s on %s: /metrics, /api/state and the page at /%s", settings.tls() ? "HTTPS" : "HTTP",
      settings.where().c_str(), token_.empty() ? "" : " (bearer token needed)");
  return true;
}

void HttpServer::Stop() {
  if (listener_ == nullptr) return;
  // An answer being written ends early.
  static_cast<Routes*>(server_.get())->SetServing(false);
  listener_->Stop();
  listener_.reset();
  server_.reset();
}

}  // namespace velkd
