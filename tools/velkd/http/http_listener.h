// The sockets of velkd's HTTP face, under its own accept and read: a
// request's headers must be in within a few seconds of its connection,
// however slowly its bytes come. A connection waits for its headers (and,
// with TLS, its handshake first) in one poll with all the others, costing
// no thread, and reaches a worker only once they are in; so clients that
// dribble never keep a worker from one that asks. Past the limit of open
// connections (or of one client address's) a newcomer takes the place of
// the waiting connection that has been silent longest, once that one has
// been silent a while; so idle sockets never lock a client out. When none
// has, the newcomer is answered 503 and closed.
#ifndef VELKD_HTTP_LISTENER_H
#define VELKD_HTTP_LISTENER_H

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_settings.h"

namespace httplib {
class Stream;
}

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace velkd {

class HttpListener {
 public:
  // Serves one request from the stream and returns.
  using Serve = std::function<void(httplib::Stream&)>;

  HttpListener() = default;
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // Binds, and serves on threads of its own. False with the reason.
  bool Start(const HttpSettings& settings, Serve serve, std::string* error);
  void Stop();

  // From the connection to the request's last byte.
  static const int kRequestMs = 5000;
  // Each write of an answer.
  static const int kWriteMs = 5000;
  static const size_t kWorkers = 8;
  // Open connections: waiting for their headers, queued or being served.
  static const size_t kMaxConnections = 768;
  // Of one client address, so that one host cannot take every place.
  static const size_t kMaxPerAddress = 256;
  // Silent this long, a connection still waiting for its headers gives
  // its place to a newcomer.
  static const int kYieldAfterMs = 500;
  // Headers longer than this go to the library as they are, which refuses them.
  static const size_t kMaxHeaderBytes = 8192;

 private:
  struct Connection {
    int fd = -1;
    int64_t deadline = 0;  // steady-clock milliseconds
    SSL* ssl = nullptr;    // with TLS
    short events = 0;      // what it waits for
    std::string taken;     // with TLS: the request's bytes read so far
    std::string address;   // the client's
    int64_t heard = 0;     // when it last sent anything
  };
  enum class Progress { kWaiting, kHeadersIn, kGone };

  void AcceptLoop();
  // Accepts what waits; false when nothing more can be taken now.
  bool AcceptOne(int64_t now);
  // Takes what the connection has for it: its handshake, its headers.
  Progress Advance(Connection* connection);
  void Hand(Connection connection);
  void Work();
  void ServeOne(const Connection& connection);
  // Closes a connection no worker has.
  void Drop(const Connection& connection, const char* status);
  // Counts a connection closed.
  void Closed(const Connection& connection);
  // Closes the waiting connection (of `address`, or of any when empty)
  // silent longest, if it has been silent kYieldAfterMs; false when none has.
  bool YieldOne(const std::string& address, int64_t now);

  Serve serve_;
  SSL_CTX* tls_ = nullptr;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  bool stopping_ = false;  // under mutex_
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::vector<Connection> waiting_;  // the acceptor's own
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Connection> queue_;
  size_t open_ = 0;                              // under mutex_
  std::map<std::string, size_t> openByAddress_;  // under mutex_
};

}  // namespace velkd

#endif
