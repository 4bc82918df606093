// Texts typed by a person reach the driver in fixed host arrays that need
// not be terminated: tag and device address parsing must stay inside them.
#include <string.h>

#include <memory>
#include <string>

#include "driver/line_driver.h"
#include "fuzz/fuzz_input.h"
#include "support/fake_serial.h"

namespace {
const char* const kTypes[] = {"Velk4011", "Velk4017", "Velk4051", "Velk4055", "Velk4015", "Velk4024",
                              "Velk4080", "Data7810", "Data7210", "data7210", "Velk4013"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  testsupport::VirtualClock clock;
  testsupport::FakeSerial line(clock);
  driver::LineDriver drv(driver::DriverServices{&line, &clock});

  // Exactly-sized heap copies, so the address sanitizer sees any read past
  // the host's arrays.
  auto config = std::make_unique<velk::TagConfig>();
  if (in.Byte() & 1) {
    const std::string raw = in.Bytes(sizeof config->moduleType);
    memcpy(config->moduleType, raw.data(), raw.size());
  } else {
    strncpy(config->moduleType, in.Pick(kTypes), sizeof config->moduleType);
  }
  config->dataType = static_cast<int16_t>(in.Word());
  const std::string text = in.Bytes(sizeof config->addressText);
  memcpy(config->addressText, text.data(), text.size());
  auto def = std::make_unique<velk::TagDef>();
  drv.ParseTag(config.get(), def.get());
  drv.GetErrorText();

  const std::string address = in.Rest();
  velk::DeviceRecord device{};
  drv.ParseDeviceAddress(address.c_str(), &device);
  drv.GetErrorText();
  return 0;
}
