// The command transaction on its own, fed whatever the line brings: answers
// cut into arbitrary chunks at arbitrary gaps, stray bytes before the
// command, refused writes and reads, a transmitter slow to drain, and
// several exchanges in a row so that leftovers of one meet the next. An
// answer reported complete must fit the caller's buffer and end with the
// carriage return.
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "serial/serial_line.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"

namespace {

const char* const kCommands[] = {"#013\r", "$01M\r", "#**\r", "@01\r", "", "#01"};

std::vector<testsupport::Chunk> Chunked(fuzz::FuzzInput& in, const std::string& bytes) {
  std::vector<testsupport::Chunk> chunks;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t length = 1 + in.Byte() % 48;
    // Mostly short gaps, now and then one past any answer time-out.
    const uint8_t g = in.Byte();
    const uint32_t gap = g < 240 ? g % 8 : 100u * (g - 239);
    chunks.push_back(testsupport::Chunk{gap, bytes.substr(at, length)});
    at += length;
  }
  return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  testsupport::VirtualClock clock(in.Word());  // any start: the tick may wrap mid-exchange
  testsupport::FakeSerial fake(clock);
  fake.AddPort("COM1");
  serial::SerialLine line(fake, clock);
  const velk::PortSettings settings = testsupport::MakeSettings("COM1", 9600, static_cast<int16_t>(in.Byte() * 4));
  if (line.OpenPort(&settings) != 1) return 0;
  line.pollDelayMs = static_cast<uint16_t>(in.Byte() % 20);
  if (in.Byte() & 1) line.directionControl = serial::DirectionControl::kNone;
  fake.drainMs = in.Byte() % 4;

  const int exchanges = 1 + in.Byte() % 4;
  for (int n = 0; n < exchanges; ++n) {
    const uint8_t faults = in.Byte();
    fake.failNextWrites = faults & 3;
    fake.failReads = (faults & 0x1C) == 0x1C;
    if (faults & 0x20) fake.Inject(in.Byte() % 10, in.Bytes(in.Byte() % 16));

    const std::string answer = in.Bytes(in.Byte() * 4u);
    const std::vector<testsupport::Chunk> chunks = Chunked(in, answer);
    fake.responder = [&chunks](const std::string&) { return chunks; };

    std::string command = in.Pick(kCommands);
    if (faults & 0x40) command = in.Bytes(in.Byte() % 40);
    // Exactly the promised size, so that a write past it is caught.
    std::unique_ptr<char[]> buffer(new char[serial::kMaxAnswer]);
    memset(buffer.get(), 0, serial::kMaxAnswer);
    memcpy(buffer.get(), command.data(), command.size());
    int32_t length = static_cast<int32_t>(command.size());
    const bool broadcast = command.find("#**") != std::string::npos;
    if (line.Exchange(buffer.get(), &length, serial::kVelkAnswer) == 1) {
      if (length < 0 || length > serial::kMaxAnswer) __builtin_trap();
      if (!broadcast && (length == 0 || buffer[length - 1] != '\r')) __builtin_trap();
    }
  }
  return 0;
}
