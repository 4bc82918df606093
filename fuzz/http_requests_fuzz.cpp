// velkd's HTTP face from the request's first byte: the HTTP library parses
// what a client sent, velkd's routes answer (with and without a token, any
// Range header) from the example line holding readings of every kind.
// Every answer is whole HTTP: a status line, and a body of exactly the
// length its header gives, none of it from beyond the body.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <httplib.h>

#include "fuzz/fuzz_input.h"
#include "fuzz/velkd_fuzz_line.h"
#include "http/http_server.h"
#include "http/http_settings.h"

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

// Settings the face is never started with: only whether it is HTTPS (its
// cookie is then Secure) counts here.
velkd::HttpSettings Listening(const std::string& listen, bool tls) {
  velkd::HttpSettings settings;
  std::string error;
  if (!velkd::ParseListen(listen, &settings, &error)) abort();
  settings.listen = listen;
  if (tls) settings.certFile = settings.keyFile = "/nonexistent";
  return settings;
}

struct Harness {
  velkd::GatewayConfig config = fuzz::ExampleGateway({});
  fuzz::ExampleLines lines{config.lines[0]};
  velkd::HttpServer open{lines, Listening("127.0.0.1:9464", false), ""};
  velkd::HttpServer guarded{lines, Listening("0.0.0.0:9464", true), "s3cret-token"};
  Harness() {
    // The same readings for every input: each kind of value, some bad,
    // one device offline.
    velkd::LineState& state = lines.Reset();
    for (size_t t = 0; t < config.lines[0].tags.size(); ++t)
      fuzz::SetReading(state, t, static_cast<uint8_t>(t % 6 | (t % 7 == 3 ? 0x80 : 0) | (t % 14 == 3 ? 0x40 : 0)),
                       static_cast<uint32_t>(t * 2654435761u));
    state.SetDevice(0, true, "");
    if (config.lines[0].config.devices.size() > 1) state.SetDevice(1, false, "no answer");
    state.Publish();
    open.Route();
    guarded.Route();
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
