// A whole driver object on the in-memory port "COM1" and a virtual clock,
// with packets built in the host's list layout, for the tests of the probe
// and the two Data module paths.
#ifndef VELK_TESTS_UNIT_DRIVER_ON_FAKE_LINE_H
#define VELK_TESTS_UNIT_DRIVER_ON_FAKE_LINE_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "driver/line_driver.h"
#include "platform/atoms.h"
#include "protocol/packet_items.h"
#include "support/fake_serial.h"
#include "support/line_settings.h"

namespace testsupport {

class DriverOnFakeLine : public ::testing::Test {
 protected:
  void SetUp() override { fake.AddPort("COM1"); }
  void TearDown() override {
    EXPECT_EQ(fake.doubleCloses, 0);
    EXPECT_EQ(fake.callsOnClosedHandles, 0);
  }

  void OpenLine(int16_t timeoutMs = 1000) {
    const velk::PortSettings s = testsupport::MakeSettings("COM1", 9600, timeoutMs);
    ASSERT_EQ(driver.OpenPort(0, &s), 1);
    fake.log.clear();
    fake.writes.clear();
  }

  // The module answers each listed command, `delayMs` after it was written;
  // any other command goes unanswered.
  void AnswerWith(const std::map<std::string, std::string>& answers, uint32_t delayMs = 5) {
    fake.responder = [answers, delayMs](const std::string& written) {
      std::vector<Chunk> chunks;
      const auto found = answers.find(written);
      if (found != answers.end()) chunks.push_back(Chunk{delayMs, found->second});
      return chunks;
    };
  }

  VirtualClock clock;
  FakeSerial fake{clock};
  driver::LineDriver driver{driver::DriverServices{&fake, &clock}};
};

// A packet with its own items, linked in the host's pointer-list layout.
template <typename Item>
class TestPacket {
 public:
  TestPacket(int16_t address, int16_t registerCode, int16_t direction, const char* moduleType = "Data7810") {
    memset(&packet_, 0, sizeof packet_);
    packet_.address = address;
    packet_.moduleType = moduleType;
    packet_.registerCode = registerCode;
    packet_.direction = direction;
  }

  Item& Add(int16_t channel, int16_t dataType, int16_t registerCode) {
    items_.emplace_back();
    Item& item = items_.back();
    memset(&item, 0, sizeof item);
    item.channel = channel;
    item.dataType = dataType;
    item.registerCode = registerCode;
    return item;
  }

  velk::Packet& get() {
    nodes_.assign(items_.size(), velk::PtrListNode{nullptr, nullptr, nullptr});
    for (size_t i = 0; i < items_.size(); ++i) {
      nodes_[i].item = &items_[i];
      nodes_[i].next = i + 1 < nodes_.size() ? &nodes_[i + 1] : nullptr;
      nodes_[i].prev = i > 0 ? &nodes_[i - 1] : nullptr;
    }
    packet_.items.head = nodes_.empty() ? nullptr : &nodes_.front();
    packet_.items.tail = nodes_.empty() ? nullptr : &nodes_.back();
    packet_.items.count = static_cast<int32_t>(nodes_.size());
    return packet_;
  }

  velk::Packet& header() { return packet_; }
  Item& item(size_t i) { return items_[i]; }

 private:
  velk::Packet packet_;
  std::deque<Item> items_;  // stable addresses while items are added
  std::vector<velk::PtrListNode> nodes_;
};

inline std::string AtomString(uint16_t atom) {
  char text[300] = {};
  platform::GetGlobalAtomName(atom, text, sizeof text);
  return text;
}

inline uint16_t AtomOfSlot(const velk::ValueSlot& v) { return static_cast<uint16_t>(protocol::SlotU32(v) & 0xFFFF); }

}  // namespace testsupport

#endif
