// The line is the port's one holder: every sequence of opening, adopting,
// re-opening and closing must close each handle exactly once and never use
// a closed one.
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
    const platform::Handle h = fake.OpenHandle(name);
    line->SetPortHandle(&h);
    return h;
  }
  int32_t Transact() {
    char buffer[512] = "#01\r";
    int32_t length = 4;
    return line->Exchange(buffer, &length, serial::kVelkAnswer);
  }
  // Destroys the line, as the driver does, and checks that everything was
  // closed once.
  void Destroy() {
    line.reset();
    EXPECT_TRUE(fake.openHandles.empty());
    EXPECT_EQ(std::set<platform::Handle>(fake.closed.begin(), fake.closed.end()).size(), fake.closed.size());
    EXPECT_EQ(fake.doubleCloses, 0);
    EXPECT_EQ(fake.callsOnClosedHandles, 0);
  }

  testsupport::VirtualClock clock;
  testsupport::FakeSerial fake{clock};
  std::unique_ptr<serial::SerialLine> line{new serial::SerialLine(fake, clock)};
};

TEST_F(PortHolders, OpenedPortIsClosedOnceAtDestruction) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  Destroy();
  EXPECT_EQ(fake.closed.size(), 1u);
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

TEST_F(PortHolders, FailedReopeningLeavesNoPort) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  fake.failSetState = true;
  line->Reopen();
  EXPECT_EQ(line->portHandle(), platform::kNoHandle);
  EXPECT_EQ(Transact(), 0);
  line->ClosePort();
  Destroy();
  EXPECT_EQ(fake.closed.size(), 2u);  // the old port and the refused new one
}

TEST_F(PortHolders, OpeningAnotherPortReleasesTheOldOne) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  const platform::Handle first = line->portHandle();
  ASSERT_EQ(OpenPort("COM2"), 1);
  EXPECT_EQ(fake.closed, std::vector<platform::Handle>{first});
  Destroy();
}

TEST_F(PortHolders, DestructionAfterSetPortHandleClosesBoth) {
  ASSERT_EQ(OpenPort("COM1"), 1);
  Adopt("HOST");
  Destroy();
  EXPECT_EQ(fake.closed.size(), 2u);
}

}  // namespace
