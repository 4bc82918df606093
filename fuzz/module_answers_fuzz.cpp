// Bytes from the line are untrusted: every module family's reads and writes,
// under both interfaces, with and without checksums, answered by whatever the
// fuzzer makes up, split into pieces at its choosing.
#include <string.h>

#include <string>
#include <vector>

#include "driver/line_driver.h"
#include "fuzz/fuzz_input.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

const char* const kTypes[] = {"Velk4011", "Velk4012", "Velk4013", "Velk4016", "Velk4017", "Velk4018",
                              "Velk4021", "Velk4024", "Velk4050", "Velk4051", "Velk4055", "Velk4060",
                              "Velk4068", "Velk4080", "Velk4015", "Data7810", "Data7210", "Velk4099"};
const int16_t kDataTypes[] = {0x0001, 0x0002, 0x0004, 0x0008, 0x0020, 0x0080, 0x0100, 0x0000, 0x7FFF};

template <typename Item>
void Run(driver::LineDriver& drv, fuzz::FuzzInput& in, const char* type) {
  const int16_t reg = static_cast<int16_t>(static_cast<int8_t>(in.Byte()) % 16);
  const int16_t direction = static_cast<int16_t>(in.Byte() % 3);
  testsupport::HostPacket<Item> packet(type, in.Byte() & 1 ? "DISPLAY" : "REG", reg, direction,
                                       static_cast<int16_t>(in.Byte()), (in.Byte() & 1) != 0);
  const int items = in.Byte() % 4;
  for (int i = 0; i < items; ++i) {
    Item& item = packet.Add(static_cast<int16_t>(static_cast<int8_t>(in.Byte())), in.Pick(kDataTypes), in.Word());
    item.registerCode = static_cast<int16_t>(in.Byte() % 8);
  }
  packet.header().decimals = static_cast<int16_t>(in.Byte() % 5);
  const std::vector<uint8_t> before = packet.ItemBytes();
  int32_t result = 0;
  if (sizeof(Item) == sizeof(velk::TagItem))
    result = drv.ProcessPacket(packet.get());
  else
    result = drv.ProcessPacket2(packet.get());
  // A failed "Velk" packet leaves every item as it was, whatever arrived.
  if (result == 0 && strncmp(type, "Velk", 4) == 0 && packet.ItemBytes() != before) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  testsupport::VirtualClock clock;
  testsupport::FakeSerial line(clock);
  line.AddPort("COM1");
  driver::LineDriver drv(driver::DriverServices{&line, &clock});

  const velk::PortSettings settings = testsupport::MakeSettings("COM1", 9600, static_cast<int16_t>(20 + in.Byte()));
  drv.OpenPort(0, &settings);

  const char* type = in.Pick(kTypes);
  const bool second = (in.Byte() & 1) != 0;
  const uint32_t pieceLength = 1 + in.Byte() % 64;
  const uint32_t gap = in.Byte() % 30;
  const std::string answer = in.Bytes(in.Byte() * 8u);
  line.responder = [&](const std::string&) {
    std::vector<testsupport::Chunk> chunks;
    for (size_t at = 0; at < answer.size(); at += pieceLength)
      chunks.push_back(testsupport::Chunk{gap, answer.substr(at, pieceLength)});
    return chunks;
  };

  if (second)
    Run<velk::TagItem2>(drv, in, type);
  else
    Run<velk::TagItem>(drv, in, type);

  velk::DeviceRecord device{1, static_cast<uint8_t>(in.Byte() & 1), {0, 0, 0}};
  drv.ProbeDevice(type, in.Byte(), &device);
  drv.DisableDeviceAlarm(type, in.Byte(), 0);
  return 0;
}
