// The driver's line and its serial device hold one port between them: every
// sequence must close each handle exactly once and never use a closed one.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "serial_line_fixture.h"

namespace {

using testsupport::Chunk;
using testsupport::MakeSettings;

class PortHolders : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddPort("COM1");
    fake.AddPort("COM2");
    fake.AddPort("HOST");
    fake.responder = [](const std::string&) { return std::vector<Chunk>{{2, ">\r"}}; };
  }

  int32_t OpenPort(const char* name) {
    const velk::PortSettings s = MakeSettings(name);
    return line->OpenPort(&s);
  }
  platform::Handle Adopt(const char* name) {
    const platform::Handle h = fake.Open(name);
    line->SetPortHandle(&h);
    return h;
  }
  int32_t Transact() {
    char buffer[512] = "#01\r";
    int32_t length = 4;
    return line->Transact(buffer, &length);
  }
  int32_t DeviceWrite() {
    uint32_t n = 0;
    return device->Write(0, 1, "x", &n);
  }
  // Destroys the line, then the device, as the driver does, and checks that
  // everything was closed once.
  void Destroy() {
    line.reset();
    device.reset();
    EXPECT_TRUE(fake.openHandles.empty());
    EXPECT_EQ(std::set<platform::Handle>(fake.closed.begin(), fake.closed.end()).size(), fake.closed.size());
    EXPECT_EQ(fake.doubleCloses, 0);
    EXPECT_EQ(fake.callsOnClosedHandles, 0);
  }

  testsupport::VirtualClock clock;
  testsupport::FakeSerial fake{clock};
  std::unique_ptr<serial::CCOMDevice> device{new serial::CCOMDevice(fake, clock)};
  std::unique_ptr<serial::SerialLine> line{new serial::SerialLine(fake, clock, *device)};
};

TEST_F(PortHolders, OpenedPortIsClosedOnceAtDestruction) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  Destroy();
  EXPECT_EQ(fake.closed.size(), 1u);
}

TEST_F(PortHolders, AfterSetPortHandleTheDeviceKeepsTheOldPort) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  const platform::Handle opened = line->portHandle;
  const platform::Handle adopted = Adopt("HOST");
  EXPECT_EQ(line->portHandle, adopted);
  EXPECT_EQ(device->m_hPort, opened);
  EXPECT_EQ(Transact(), 1);
  EXPECT_EQ(DeviceWrite(), 1);
  EXPECT_EQ(line->ClosePort(), 1);
  EXPECT_EQ(fake.closed, (std::vector<platform::Handle>{adopted, opened}));
  EXPECT_EQ(device->m_hPort, platform::kNoHandle);
  // COM1 is free again for the host's next opening.
  EXPECT_EQ(OpenPort("COM1"), 1);
  Destroy();
}

TEST_F(PortHolders, AdoptedPortsAreTheLines) {
  const platform::Handle first = Adopt("HOST");
  const platform::Handle second = Adopt("COM2");
  EXPECT_EQ(fake.closed, std::vector<platform::Handle>{first});  // held by nobody else
  line->SetPortHandle(&second);
  EXPECT_EQ(fake.closed.size(), 1u);
  EXPECT_EQ(Transact(), 1);
  Destroy();
  EXPECT_EQ(fake.closed, (std::vector<platform::Handle>{first, second}));
}

TEST_F(PortHolders, LineFollowsTheDeviceReopeningByItself) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  const platform::Handle first = line->portHandle;
  ASSERT_EQ(device->Open(0), 1);  // the Data7210 path after a failed probe
  EXPECT_EQ(fake.closed, std::vector<platform::Handle>{first});
  EXPECT_EQ(line->portHandle, device->m_hPort);
  EXPECT_EQ(Transact(), 1);
  line->ClosePort();
  EXPECT_EQ(device->m_hPort, platform::kNoHandle);
  Destroy();
  EXPECT_EQ(fake.closed.size(), 2u);
}

TEST_F(PortHolders, LineForgetsThePortTheDeviceClosed) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  device->Close();
  EXPECT_EQ(line->portHandle, platform::kNoHandle);
  EXPECT_EQ(Transact(), 0);
  line->ClosePort();
  Destroy();
  EXPECT_EQ(fake.closed.size(), 1u);
}

TEST_F(PortHolders, LineTakesAPortTheDeviceOpenedWhileItHeldNone) {
  const velk::PortSettings s = MakeSettings("COM1");
  ASSERT_EQ(device->Configure(&s), 1);
  EXPECT_EQ(line->portHandle, device->m_hPort);
  EXPECT_EQ(Transact(), 1);
  line->ClosePort();
  EXPECT_EQ(device->m_hPort, platform::kNoHandle);
  Destroy();
  EXPECT_EQ(fake.closed.size(), 1u);
}

TEST_F(PortHolders, DeviceOpeningWhileTheLineHoldsAnAdoptedPort) {
  const platform::Handle adopted = Adopt("HOST");
  const velk::PortSettings s = MakeSettings("COM1");
  ASSERT_EQ(device->Configure(&s), 1);
  EXPECT_EQ(line->portHandle, adopted);
  EXPECT_EQ(DeviceWrite(), 1);
  EXPECT_EQ(Transact(), 1);
  Destroy();
  EXPECT_EQ(fake.closed.size(), 2u);
}

TEST_F(PortHolders, FailedReopeningLeavesNoPort) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  fake.failSetState = true;
  line->Reopen();
  EXPECT_EQ(line->portHandle, platform::kNoHandle);
  EXPECT_EQ(device->m_hPort, platform::kNoHandle);
  EXPECT_EQ(Transact(), 0);
  EXPECT_EQ(DeviceWrite(), 0);
  line->ClosePort();
  Destroy();
  EXPECT_EQ(fake.closed.size(), 2u);  // the old port and the refused new one
}

TEST_F(PortHolders, OpeningAnotherPortReleasesTheOldOne) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  const platform::Handle first = line->portHandle;
  ASSERT_EQ(OpenPort("COM2"), 1);
  EXPECT_EQ(fake.closed, std::vector<platform::Handle>{first});
  EXPECT_EQ(device->m_hPort, line->portHandle);
  Destroy();
}

TEST_F(PortHolders, DestructionAfterSetPortHandleClosesBoth) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  Adopt("HOST");
  Destroy();
  EXPECT_EQ(fake.closed.size(), 2u);
}

}  // namespace
