#include "protocol/device_address.h"

#include <stddef.h>

namespace protocol {
namespace {

constexpr uint32_t kHighestAddress = 255;
// The host keeps the text in a fixed field that need not end in a NUL: no
// more than this is ever read, and a text that fills it is not an address.
constexpr size_t kDeviceAddressField = 32;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The leading decimal number of `text` (NUL-terminated by the caller's
// check); a missing number is 0. The value stops growing past
// kHighestAddress + 1 so that any length of digits compares as "above 255"
// without overflowing.
uint32_t LeadingAddressNumber(const char* text) {
  uint32_t value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + static_cast<uint32_t>(*text - '0');
    if (value > kHighestAddress) value = kHighestAddress + 1;
  }
  return value;
}

// The flag number after the point only matters as "above 0" and by its low
// byte; both are exact for any length of digits, so it is never converted
// into a wider integer that could overflow.
struct FlagNumber {
  bool aboveZero;
  uint8_t lowByte;
};

FlagNumber LeadingFlagNumber(const char* text) {
  FlagNumber flag{false, 0};
  unsigned lowByte = 0;
  for (; IsDigit(*text); ++text) {
    if (*text != '0') flag.aboveZero = true;
    lowByte = (lowByte * 10 + static_cast<unsigned>(*text - '0')) & 0xFFu;
  }
  flag.lowByte = static_cast<uint8_t>(lowByte);
  return flag;
}

}  // namespace

int32_t ParseDeviceAddress(const char* text, velk::DeviceRecord* device) {
  if (text == nullptr || device == nullptr) return kDeviceAddressRejected;

  const char* point = nullptr;
  size_t length = 0;
  for (; length < kDeviceAddressField && text[length] != '\0'; ++length) {
    const char c = text[length];
    if (c == '.') {
      if (point == nullptr) point = text + length;
    } else if (!IsDigit(c)) {
      return kDeviceAddressRejected;
    }
  }
  // No text is no address: it would quietly name module 0.
  if (length == 0 || length == kDeviceAddressField) return kDeviceAddressRejected;

  const uint32_t address = LeadingAddressNumber(text);
  if (point == nullptr) {
    if (address > kHighestAddress) return kDeviceAddressRejected;
    device->address = address;
    device->noChecksum = 0;
    return 0;
  }

  bool accepted = true;
  if (address > kHighestAddress) {
    accepted = false;
  } else {
    device->address = address;
  }
  const FlagNumber flag = LeadingFlagNumber(point + 1);
  // A number whose low byte is 0 (256, 512, ...) would leave checksums on
  // while the text asks for them off.
  if (!flag.aboveZero || flag.lowByte == 0) accepted = false;
  device->noChecksum = flag.lowByte;
  return accepted ? 0 : kDeviceAddressRejected;
}

}  // namespace protocol
