#include <gtest/gtest.h>
#include <string.h>

#include <climits>

#include "driver/line_driver.h"
#include "support/fake_serial.h"

namespace {

constexpr int32_t kRead = 0;
constexpr int32_t kWrite = 1;

struct MergeCase {
  const char* note;
  const char* moduleType;
  int32_t direction;  // of the tag, as the host asks
  int16_t packetDirection;
  int16_t tagAddress;  // the packet's address is 1
  int16_t packetRegister;
  int16_t tagRegister;
  int16_t channel;
  int32_t low, high;  // the packet's range before
  int32_t result;
  int32_t lowAfter, highAfter;
};

const MergeCase kCases[] = {
    {"same channel", "Velk4017", kRead, 0, 1, 0, 0, 3, 3, 3, 1, 3, 3},
    {"outside a range that never grows", "Velk4017", kRead, 0, 1, 0, 0, 3, 2, 2, 0, 2, 2},
    {"a type not listed never widens", "Velk4050", kRead, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0},
    {"registers without channels", "Velk4017", kRead, 0, 1, 0, 0, -1, -1, -1, 1, -1, -1},
    {"4055 widens up", "Velk4055", kRead, 0, 1, 0, 0, 8, 0, 0, 1, 0, 8},
    {"4055 span 10 refused", "Velk4055", kRead, 0, 1, 0, 0, 9, 0, 8, 0, 0, 8},
    {"4055 widens down", "Velk4055", kRead, 0, 1, 0, 0, 0, 5, 5, 1, 0, 5},
    {"4055 span 10 down refused", "velk4055", kRead, 0, 1, 0, 0, 0, 9, 9, 0, 9, 9},
    {"4055 inside", "Velk4055", kRead, 0, 1, 0, 0, 4, 0, 8, 1, 0, 8},
    {"write to the packet's channel", "Velk4055", kWrite, 1, 1, 0, 0, 5, 5, 8, 1, 5, 8},
    {"write never widens", "Velk4055", kWrite, 1, 1, 0, 0, 6, 5, 5, 0, 5, 5},
    {"write inside the range but not its low end", "Velk4055", kWrite, 1, 1, 0, 0, 6, 5, 8, 0, 5, 8},
    {"direction differs", "Velk4055", kWrite, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},
    {"address differs", "Velk4055", kRead, 0, 2, 0, 0, 1, 0, 0, 0, 0, 0},
    {"register differs", "Velk4055", kRead, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0},
    {"4015 always alone", "Velk4015", kRead, 0, 1, 0, 0, 3, 3, 3, 0, 3, 3},
    {"4015 in any case", "VELK4015", kRead, 0, 1, 0, 0, 3, 3, 3, 0, 3, 3},
    {"7210 always alone", "Data7210", kRead, 0, 1, 0, 0, 3, 3, 3, 0, 3, 3},
    {"7810 Temp shares one answer", "Data7810", kRead, 0, 1, 6, 6, 5, 6, 6, 1, 6, 6},
    {"7810 DI stays one channel", "Data7810", kRead, 0, 1, 4, 4, 1, 0, 0, 0, 0, 0},
    // Spans of the host's 32-bit range fields must not overflow.
    {"far below a range at the top", "Velk4055", kRead, 0, 1, 0, 0, -32768, INT32_MAX, INT32_MAX,  //
     0, INT32_MAX, INT32_MAX},
    {"inside a range of everything", "Velk4055", kRead, 0, 1, 0, 0, 0, INT32_MIN, INT32_MAX,  //
     1, INT32_MIN, INT32_MAX},
};

class MergeRules : public ::testing::Test {
 protected:
  testsupport::VirtualClock clock_;
  testsupport::FakeSerial serial_{clock_};
  driver::LineDriver driver_{driver::DriverServices{&serial_, &clock_}};
};

TEST_F(MergeRules, Table) {
  for (const MergeCase& c : kCases) {
    velk::Packet packet;
    memset(&packet, 0, sizeof packet);
    packet.moduleType = c.moduleType;
    packet.address = 1;
    packet.registerCode = c.packetRegister;
    packet.direction = c.packetDirection;
    packet.channelLow = c.low;
    packet.channelHigh = c.high;
    velk::TagDef tag;
    memset(&tag, 0, sizeof tag);
    tag.address = c.tagAddress;
    tag.registerCode = c.tagRegister;
    tag.channel = c.channel;
    EXPECT_EQ(driver_.CanMerge(&tag, c.direction, &packet), c.result) << c.note;
    EXPECT_EQ(packet.channelLow, c.lowAfter) << c.note;
    EXPECT_EQ(packet.channelHigh, c.highAfter) << c.note;
  }
}

TEST_F(MergeRules, NullRecordsAreRefused) {
  velk::Packet packet;
  memset(&packet, 0, sizeof packet);
  packet.moduleType = "Velk4017";
  velk::TagDef tag;
  memset(&tag, 0, sizeof tag);
  EXPECT_EQ(driver_.CanMerge(nullptr, kRead, &packet), 0);
  EXPECT_EQ(driver_.CanMerge(&tag, kRead, nullptr), 0);
  // A packet without a type name takes the general rule.
  packet.moduleType = nullptr;
  EXPECT_EQ(driver_.CanMerge(&tag, kRead, &packet), 1);
}

}  // namespace
