#include "http/http_listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <httplib.h>

#include "core/journal_log.h"

namespace velkd {
namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool WaitUntil(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - SteadyMs();
    if (left <= 0) return false;
    pollfd p = {fd, events, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

void Address(const sockaddr_storage& address, socklen_t size, std::string& ip, int& port) {
  char host[NI_MAXHOST] = "";
  char service[NI_MAXSERV] = "";
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = atoi(service);
  }
}

// The library's view of one connection: every read bounded by the
// request's deadline, every write by its own time-out. TLS when `ssl` is set.
class DeadlineStream : public httplib::Stream {
 public:
  // `taken`: the bytes read before the library reads, which it reads first.
  DeadlineStream(int fd, int64_t deadline, SSL* ssl, const std::string& taken)
      : fd_(fd), deadline_(deadline), ssl_(ssl), taken_(taken) {}

  bool is_readable() const override {
    return used_ < taken_.size() || (ssl_ != nullptr && SSL_pending(ssl_) > 0) || WaitUntil(fd_, POLLIN, deadline_);
  }
  bool is_writable() const override { return WaitUntil(fd_, POLLOUT, SteadyMs() + HttpListener::kWriteMs); }

  ssize_t read(char* ptr, size_t size) override {
    if (used_ < taken_.size()) {
      const size_t n = std::min(size, taken_.size() - used_);
      memcpy(ptr, taken_.data() + used_, n);
      used_ += n;
      return static_cast<ssize_t>(n);
    }
    for (;;) {
      if (ssl_ == nullptr) {
        const ssize_t got = recv(fd_, ptr, size, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EINTR)) return got;
        if (!WaitUntil(fd_, POLLIN, deadline_)) return -1;
        continue;
      }
      const int got = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
      if (got > 0) return got;
      if (!Await(got, deadline_)) return -1;
    }
  }

  ssize_t write(const char* ptr, size_t size) override {
    const int64_t deadline = SteadyMs() + HttpListener::kWriteMs;
    for (;;) {
      if (ssl_ == nullptr) {
        const ssize_t sent = send(fd_, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0 || (errno != EAGAIN && errno != EINTR)) return sent;
        if (!WaitUntil(fd_, POLLOUT, deadline)) return -1;
        continue;
      }
      const int sent = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
      if (sent > 0) return sent;
      if (!Await(sent, deadline)) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) Address(address, size, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) Address(address, size, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // After a TLS call returned `result`: waits for what it wants, until
  // `deadline`. False when it failed for good.
  bool Await(int result, int64_t deadline) const {
    switch (SSL_get_error(ssl_, result)) {
      case SSL_ERROR_WANT_READ: return WaitUntil(fd_, POLLIN, deadline);
      case SSL_ERROR_WANT_WRITE: return WaitUntil(fd_, POLLOUT, deadline);
      default: ERR_clear_error(); return false;
    }
  }

 private:
  int fd_;
  int64_t deadline_;
  SSL* ssl_;
  const std::string& taken_;
  size_t used_ = 0;
};

// Moves `c` to where `kept` points, unless it is there, and steps on.
template <typename Iterator, typename T>
void Keep(Iterator* kept, T* c) {
  if (&**kept != c) **kept = std::move(*c);
  ++*kept;
}

// The blank line that ends the headers. A line may end with LF alone: the
// library answers such a request (400) as soon as it is in, rather than
// after the request's time.
bool HasHeaderEnd(const char* text, size_t size) {
  for (size_t i = 1; i < size; ++i)
    if (text[i] == '\n' && (text[i - 1] == '\n' || (i >= 2 && text[i - 1] == '\r' && text[i - 2] == '\n'))) return true;
  return false;
}

// What a TLS call that returned `result` waits for; 0 when it failed for good.
short TlsWants(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ: return POLLIN;
    case SSL_ERROR_WANT_WRITE: return POLLOUT;
    default: ERR_clear_error(); return 0;
  }
}

// Tells a connection that cannot be served why, and closes it. What it
// sent is read first: closed with bytes unread, the socket would be reset
// and the answer lost.
void AnswerAndClose(int fd, const char* status) {
  char sink[4096];
  while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {}
  const std::string text = std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  if (send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) shutdown(fd, SHUT_WR);
  close(fd);
}

}  // namespace

HttpListener::~HttpListener() { Stop(); }

bool HttpListener::Start(const HttpSettings& settings, Serve serve, std::string* error) {
  serve_ = std::move(serve);
  if (settings.tls()) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (tls_ == nullptr || SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(tls_, settings.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls_) != 1) {
      ERR_clear_error();
      *error = "cannot use cert_file " + settings.certFile + " with key_file " + settings.keyFile;
      Stop();
      return false;
    }
  }
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(settings.port);
  int failure = getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &found);
  std::string why = failure != 0 ? gai_strerror(failure) : "";
  for (addrinfo* a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    const int on = 1;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, static_cast<int>(kMaxConnections)) == 0) {
      listenFd_ = fd;
    } else {
      why = strerror(errno);
      if (fd >= 0) close(fd);
    }
  }
  if (found != nullptr) freeaddrinfo(found);
  if (listenFd_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot listen on " + settings.where() + ": " + why;
    Stop();
    return false;
  }
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  for (size_t w = 0; w < kWorkers; ++w) workers_.emplace_back([this] { Work(); });
  return true;
}

void HttpListener::Stop() {
  if (acceptor_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    const char byte = 0;
    if (write(wake_[1], &byte, 1) != 1) Log(kWarning, "HTTP: cannot wake the listener");
    acceptor_.join();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    for (const Connection& c : waiting_) Drop(c, nullptr);
    waiting_.clear();
    for (const Connection& c : queue_) Drop(c, nullptr);
    queue_.clear();
    open_ = 0;
    openByAddress_.clear();
  }
  for (int* fd : {&listenFd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (tls_ != nullptr) SSL_CTX_free(tls_);
  tls_ = nullptr;
}

bool HttpListener::YieldOne(const std::string& address, int64_t now) {
  auto oldest = waiting_.end();
  for (auto c = waiting_.begin(); c != waiting_.end(); ++c)
    if ((address.empty() || c->address == address) && (oldest == waiting_.end() || c->heard < oldest->heard))
      oldest = c;
  if (oldest == waiting_.end() || now - oldest->heard < kYieldAfterMs) return false;
  Drop(*oldest, "408 Request Timeout");
  Closed(*oldest);
  waiting_.erase(oldest);
  return true;
}

void HttpListener::Closed(const Connection& connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  auto count = openByAddress_.find(connection.address);
  if (count != openByAddress_.end() && --count->second == 0) openByAddress_.erase(count);
}

bool HttpListener::AcceptOne(int64_t now) {
  sockaddr_storage peer = {};
  socklen_t peerSize = sizeof peer;
  const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return false;
  Connection connection;
  char host[NI_MAXHOST] = "";
  if (getnameinfo(reinterpret_cast<sockaddr*>(&peer), peerSize, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
    connection.address = host;
  size_t open = 0;
  size_t ofAddress = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open = open_;
    auto count = openByAddress_.find(connection.address);
    ofAddress = count == openByAddress_.end() ? 0 : count->second;
  }
  // A place of this address's own first, then any: only connections still
  // waiting for their headers give way, never one being answered.
  if ((ofAddress >= kMaxPerAddress && !YieldOne(connection.address, now)) ||
      (ofAddress < kMaxPerAddress && open >= kMaxConnections && !YieldOne("", now))) {
    AnswerAndClose(fd, "503 Service Unavailable");
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++open_;
    ++openByAddress_[connection.address];
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  connection.fd = fd;
  connection.deadline = now + kRequestMs;
  connection.heard = now;
  connection.events = POLLIN;
  if (tls_ != nullptr) {
    connection.ssl = SSL_new(tls_);
    if (connection.ssl == nullptr || SSL_set_fd(connection.ssl, fd) != 1) {
      ERR_clear_error();
      Drop(connection, nullptr);
      Closed(connection);
      return true;
    }
    SSL_set_accept_state(connection.ssl);
  }
  waiting_.push_back(std::move(connection));
  return true;
}

HttpListener::Progress HttpListener::Advance(Connection* c) {
  char head[kMaxHeaderBytes];
  if (c->ssl == nullptr) {
    const ssize_t got = recv(c->fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0) return errno == EAGAIN || errno == EINTR ? Progress::kWaiting : Progress::kGone;
    // Ended or too long: the library sees it and says so, or not.
    if (got == 0 || static_cast<size_t>(got) == sizeof head) return Progress::kHeadersIn;
    return HasHeaderEnd(head, static_cast<size_t>(got)) ? Progress::kHeadersIn : Progress::kWaiting;
  }
  if (!SSL_is_init_finished(c->ssl)) {
    const int done = SSL_do_handshake(c->ssl);
    if (done != 1) {
      c->events = TlsWants(c->ssl, done);
      return c->events != 0 ? Progress::kWaiting : Progress::kGone;
    }
  }
  // Read, not peeked: a request may come in several records.
  c->events = POLLIN;
  while (c->taken.size() < kMaxHeaderBytes) {
    const int got = SSL_read(c->ssl, head, static_cast<int>(kMaxHeaderBytes - c->taken.size()));
    if (got <= 0) {
      c->events = TlsWants(c->ssl, got);
      if (c->events == 0) return c->taken.empty() ? Progress::kGone : Progress::kHeadersIn;
      break;
    }
    c->taken.append(head, static_cast<size_t>(got));
  }
  return c->taken.size() >= kMaxHeaderBytes || HasHeaderEnd(c->taken.data(), c->taken.size()) ? Progress::kHeadersIn
                                                                                              : Progress::kWaiting;
}

void HttpListener::Drop(const Connection& connection, const char* status) {
  if (connection.ssl != nullptr) {
    SSL_free(connection.ssl);
    ERR_clear_error();
    close(connection.fd);
  } else if (status != nullptr) {
    AnswerAndClose(connection.fd, status);
  } else {
    close(connection.fd);
  }
}

void HttpListener::Hand(Connection connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(connection));
  }
  ready_.notify_one();
}

void HttpListener::AcceptLoop() {
  std::vector<pollfd> fds;
  for (;;) {
    const int64_t now = SteadyMs();
    int64_t next = now + 1000;
    // The ones out of time are told so; the others wait on.
    auto kept = waiting_.begin();
    for (Connection& c : waiting_) {
      if (c.deadline <= now) {
        Drop(c, "408 Request Timeout");
        Closed(c);
      } else {
        next = std::min(next, c.deadline);
        Keep(&kept, &c);
      }
    }
    waiting_.erase(kept, waiting_.end());
    fds.assign({{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}});
    for (const Connection& c : waiting_) fds.push_back({c.fd, static_cast<short>(c.events | POLLRDHUP), 0});
    if (poll(fds.data(), fds.size(), static_cast<int>(next - now)) < 0 && errno != EINTR) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    // Those whose headers are in go on; one that stopped sending goes on
    // as well, and the library answers what there is.
    kept = waiting_.begin();
    const int64_t polled = SteadyMs();
    for (size_t i = 0; i < waiting_.size(); ++i) {
      Connection& c = waiting_[i];
      const short events = fds[i + 2].revents;
      if (events != 0) c.heard = polled;
      const Progress progress = events == 0 ? Progress::kWaiting : Advance(&c);
      if (progress == Progress::kHeadersIn ||
          (progress == Progress::kWaiting && (events & (POLLRDHUP | POLLHUP | POLLERR)) != 0)) {
        Hand(std::move(c));
      } else if (progress == Progress::kGone) {
        Drop(c, nullptr);
        Closed(c);
      } else {
        Keep(&kept, &c);
      }
    }
    waiting_.erase(kept, waiting_.end());
    if ((fds[0].revents & POLLIN) != 0) {
      const int64_t accepted = SteadyMs();
      while (AcceptOne(accepted)) {}
    }
  }
}

void HttpListener::Work() {
  for (;;) {
    Connection connection;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      connection = std::move(queue_.front());
      queue_.pop_front();
    }
    ServeOne(connection);
    Drop(connection, nullptr);
    Closed(connection);
  }
}

void HttpListener::ServeOne(const Connection& connection) {
  DeadlineStream stream(connection.fd, connection.deadline, connection.ssl, connection.taken);
  serve_(stream);
  if (connection.ssl != nullptr) SSL_shutdown(connection.ssl);
}

}  // namespace velkd
