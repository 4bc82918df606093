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
#include "modbus/modbus_settings.h"

namespace {

struct Harness {
  std::vector<velkd::ModbusLineSettings> modbus;
  velkd::ModbusSections sections{&modbus};
  velkd::GatewayConfig config = fuzz::ExampleGateway({&sections});
  fuzz::ExampleLines lines{config.lines[0]};
  std::vector<velkd::ModbusMap> maps;
  int sockets[2] = {-1, -1};
  modbus_t* ctx = nullptr;

  Harness() {
    std::vector<velkd::FileProblem> problems;
    if (!velkd::BuildModbusMaps(config, modbus, "", false, &maps, &problems) || maps.size() != 1) abort();
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
  fuzz::FuzzInput in(data, size);
  harness.lines.Set(in);
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
  velkd::ModbusRequests requests(harness.lines, stopping);
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
