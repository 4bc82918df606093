// velkd's Modbus request handler on the example line's map, fed whole
// frames as libmodbus hands them on: any function, quantity, byte count and
// length, with tags holding any reading and writes any outcome. An answer
// must be a frame of the protocol: the request's header and unit, a length
// that matches, its function or that function's exception.
#include <fcntl.h>
#include <modbus.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/velkd_fuzz_line.h"
#include "modbus/modbus_map.h"
#include "modbus/modbus_requests.h"

namespace {

// The line's readings and write outcomes as the input says.
class FuzzLines : public velkd::ModbusLines {
 public:
  FuzzLines(size_t tags, size_t devices) : state_("line", "line.toml", tags, devices) {}

  void Set(fuzz::FuzzInput& in, const velkd::LineSpec& line) {
    const uint8_t devices = in.Byte();
    for (size_t d = 0; d < line.config.devices.size(); ++d)
      if (devices & (1u << (d % 8))) state_.SetDevice(d, (devices & 0x80) == 0, "no answer");
    for (size_t t = 0; t < line.config.tags.size(); ++t) {
      const uint8_t kind = in.Byte();
      const uint32_t word = in.Word();
      float f;
      memcpy(&f, &word, sizeof f);
      switch (kind % 5) {
        case 0: state_.SetTag(t, false, nullptr, 0, "no answer", 0); break;
        case 1: state_.SetTag(t, true, static_cast<int32_t>(word), 0xC0, "", 0); break;
        case 2: state_.SetTag(t, true, word, 0xC0, "", 0); break;
        case 3: state_.SetTag(t, true, static_cast<double>(f), 0xC0, "", 0); break;
        default: state_.SetTag(t, true, (word & 1) != 0, 0xC0, "", 0); break;
      }
    }
    outcome_ = in.Byte();
  }

  bool WithState(size_t line, const std::string&, const std::function<void(const velkd::LineState&)>& use) override {
    if (line != 0) return false;
    use(state_);
    return true;
  }
  bool Write(size_t line, const std::string&, const std::vector<velkd::LineWorker::TagWrite>& writes,
             const velkd::LineWorker::WritesDone& done, size_t* ahead, std::string* reason) override {
    if (line != 0 || outcome_ % 7 == 0) {
      *reason = outcome_ % 2 ? "write queue full" : "no such line";
      return false;
    }
    *ahead = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
      velkd::LineWorker::WriteOutcome outcome;
      outcome.ok = outcome_ % 7 == 1 || outcome_ % 7 == 2;
      outcome.answered = outcome_ % 7 != 3;
      outcome.reason = outcome_ % 7 == 4 ? "not built" : "refused";
      done(i, outcome);
    }
    return true;
  }

 private:
  velkd::LineState state_;
  uint8_t outcome_ = 0;
};

struct Harness {
  velkd::GatewayConfig config = fuzz::ExampleGateway();
  std::vector<velkd::ModbusMap> maps;
  int sockets[2] = {-1, -1};
  modbus_t* ctx = nullptr;

  Harness() {
    std::vector<velkd::FileProblem> problems;
    if (!velkd::BuildModbusMaps(config, "", false, &maps, &problems) || maps.size() != 1) abort();
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) abort();
    fcntl(sockets[1], F_SETFL, O_NONBLOCK);
    ctx = modbus_new_tcp("127.0.0.1", 1502);
    if (ctx == nullptr || modbus_set_socket(ctx, sockets[0]) != 0) abort();
  }
};

uint32_t Word(const uint8_t* at) { return static_cast<uint32_t>(at[0]) << 8 | at[1]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  const velkd::LineSpec& line = harness.config.lines[0];
  fuzz::FuzzInput in(data, size);
  FuzzLines lines(line.config.tags.size(), line.config.devices.size());
  lines.Set(in, line);
  const std::string frame = in.Bytes(MODBUS_TCP_MAX_ADU_LENGTH);
  // Exactly the frame's size, so that a read past it is caught.
  const size_t length = frame.size();
  std::unique_ptr<uint8_t[]> request(new uint8_t[length + (length == 0)]);
  memcpy(request.get(), frame.data(), length);
  // What the header announces beyond the frame is on the socket, as a
  // client would have sent it.
  if (length >= 6) {
    const uint32_t announced = Word(request.get() + 4);
    if (announced + 6 > length && announced + 6 <= MODBUS_TCP_MAX_ADU_LENGTH + 1024) {
      const std::vector<uint8_t> rest(announced + 6 - length, 0);
      if (send(harness.sockets[1], rest.data(), rest.size(), MSG_NOSIGNAL) < 0) abort();
    }
  }
  std::atomic<bool> stopping(false);
  velkd::ModbusRequests requests(lines, stopping);
  const bool kept = requests.Answer(harness.ctx, harness.maps[0], request.get(), static_cast<int>(length));
  uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH + 1];
  const ssize_t got = recv(harness.sockets[1], answer, sizeof answer, 0);
  // Whatever the handler left unread goes, so the next input starts clean.
  uint8_t sink[4096];
  while (recv(harness.sockets[1], sink, sizeof sink, 0) > 0) {}
  while (recv(harness.sockets[0], sink, sizeof sink, MSG_DONTWAIT) > 0) {}
  if (got <= 0) return 0;
  if (!kept || got < 9 || got > MODBUS_TCP_MAX_ADU_LENGTH) __builtin_trap();
  // The transaction, the protocol and the unit of the request; a length that counts the rest.
  if (memcmp(answer, request.get(), 4) != 0 || answer[6] != request[6] || Word(answer + 4) != got - 6) __builtin_trap();
  if ((answer[7] & 0x7F) != request[7]) __builtin_trap();
  return 0;
}
