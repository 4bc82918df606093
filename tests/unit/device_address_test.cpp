#include <gtest/gtest.h>

#include "protocol/device_address.h"

namespace {

constexpr uint32_t kUnwrittenAddress = 0xDEADBEEF;
constexpr uint8_t kUnwrittenFlag = 0xAA;
constexpr int32_t kRejected = protocol::kDeviceAddressRejected;

struct AddressCase {
  const char* text;
  int32_t result;
  uint32_t address;  // kUnwrittenAddress: left as it was
  uint8_t flag;      // kUnwrittenFlag: left as it was
};

// Rejected "N.M" texts keep their partial writes: hosts have always seen the
// address stored when N fits and the flag byte stored in every case.
const AddressCase kCases[] = {
    {"12", 0, 12, 0},
    {"0", 0, 0, 0},
    {"255", 0, 255, 0},
    {"", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    {"12.1", 0, 12, 1},
    {"12.300", 0, 12, 44},
    {"12.256", kRejected, 12, 0},  // above 0, but its low byte would switch checksums on
    {"1.512", kRejected, 1, 0},
    {".5", 0, 0, 5},
    {"12.3.4", 0, 12, 3},  // the number after the first point ends at the second
    {"1.99999999999999999999", 0, 1, 255},
    {"12.", kRejected, 12, 0},
    {"12.0", kRejected, 12, 0},
    {"12.000", kRejected, 12, 0},
    {"256.5", kRejected, kUnwrittenAddress, 5},
    {"256.0", kRejected, kUnwrittenAddress, 0},
    {"256", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    {"99999999999999999999", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    {"1a", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    {"12.1x", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    {" 12", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    {"-1", kRejected, kUnwrittenAddress, kUnwrittenFlag},
    // The host's field holds 32 characters: a text that fills it has no end.
    {"0000000000000000000000000000012", 0, 12, 0},
    {"00000000000000000000000000000012", kRejected, kUnwrittenAddress, kUnwrittenFlag},
};

TEST(DeviceAddress, TextsAndWhatTheyWrite) {
  for (const AddressCase& c : kCases) {
    velk::DeviceRecord device{kUnwrittenAddress, kUnwrittenFlag, {1, 2, 3}};
    EXPECT_EQ(protocol::ParseDeviceAddress(c.text, &device), c.result) << '"' << c.text << '"';
    EXPECT_EQ(device.address, c.address) << '"' << c.text << '"';
    EXPECT_EQ(device.noChecksum, c.flag) << '"' << c.text << '"';
    // The bytes after the flag belong to the host.
    EXPECT_EQ(device.hostField5[0], 1);
    EXPECT_EQ(device.hostField5[2], 3);
  }
}

TEST(DeviceAddress, NullPointersAreRejected) {
  velk::DeviceRecord device{kUnwrittenAddress, kUnwrittenFlag, {}};
  EXPECT_EQ(protocol::ParseDeviceAddress(nullptr, &device), kRejected);
  EXPECT_EQ(device.address, kUnwrittenAddress);
  EXPECT_EQ(protocol::ParseDeviceAddress("12", nullptr), kRejected);
}

}  // namespace
