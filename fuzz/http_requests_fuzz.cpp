// velkd's HTTP face from the request's first byte: the HTTP library parses
// what a client sent, velkd's routes answer (with and without a token, any
// Range header). Every answer is whole HTTP: a status line, and a body of
// exactly the length its header gives, none of it from beyond the body.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <httplib.h>

#include "core/gateway.h"
#include "driver_library.h"
#include "fuzz/fuzz_input.h"
#include "http/http_server.h"

namespace {

class MemoryStream : public httplib::Stream {
 public:
  explicit MemoryStream(const std::string& request) : request_(request) {}
  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, request_.size() - at_);
    memcpy(ptr, request_.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    answer.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 40000;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 9464;
  }
  socket_t socket() const override { return INVALID_SOCKET; }

  std::string answer;

 private:
  const std::string& request_;
  size_t at_ = 0;
};

struct Harness {
  hostlib::DriverLibrary library;
  velkd::Gateway gateway{library};
  velkd::HttpServer open{gateway};
  velkd::HttpServer guarded{gateway};
  Harness() {
    open.Route("", false);
    guarded.Route("s3cret-token", true);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;
  fuzz::FuzzInput in(data, size);
  velkd::HttpServer& server = in.Byte() & 1 ? harness->guarded : harness->open;
  const std::string request = in.Rest();
  MemoryStream stream(request);
  server.ServeOne(stream);
  const std::string& answer = stream.answer;
  if (answer.empty()) return 0;
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0) __builtin_trap();
  const size_t head = answer.find("\r\n\r\n");
  if (head == std::string::npos) __builtin_trap();
  const size_t length = answer.find("\r\nContent-Length: ");
  if (length == std::string::npos || length > head) return 0;
  const unsigned long long announced = strtoull(answer.c_str() + length + 18, nullptr, 10);
  const size_t body = answer.size() - head - 4;
  // A HEAD answer announces the length of what GET would send, and sends none.
  if (body != announced && body != 0) __builtin_trap();
  if (announced > 1 << 20) __builtin_trap();
  return 0;
}
