// The port a host hands over with SetPortHandle belongs to the driver from
// then on: releasing the last reference closes it, and only it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/pseudo_terminal.h"
#include "support/host_driver.h"

namespace {

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(PortLifetime, ReleaseClosesTheAdoptedPort) {
  testsupport::HostLibrary lib;
  platform::PseudoTerminal pty;
  ASSERT_TRUE(pty.Create()) << pty.error();
  const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  const int bystander = open("/dev/null", O_RDONLY);
  ASSERT_GE(bystander, 0);

  velk::IDriver* d = lib.CreateDriver();
  ASSERT_NE(d, nullptr);
  void* second = nullptr;
  ASSERT_EQ(d->QueryInterface(velk::kIidIDriver2, &second), velk::kOk);
  auto* d2 = static_cast<velk::IDriver2*>(second);
  const velk::PortHandle handle = fd;
  EXPECT_EQ(d2->SetPortHandle(&handle), 1);
  EXPECT_TRUE(DescriptorOpen(fd)) << "adopting must not close or reconfigure";

  d->Release();
  EXPECT_TRUE(DescriptorOpen(fd)) << "still referenced through IDriver2";
  d2->Release();
  EXPECT_FALSE(DescriptorOpen(fd));
  EXPECT_TRUE(DescriptorOpen(bystander));
  EXPECT_EQ(lib.CanUnloadNow(), velk::kOk);
  close(bystander);
}

TEST(PortLifetime, ClosePortClosesTheAdoptedPortOnceAndOnlyIt) {
  testsupport::HostLibrary lib;
  testsupport::HostDriver drv(lib);
  platform::PseudoTerminal pty;
  ASSERT_TRUE(pty.Create()) << pty.error();
  const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  const velk::PortHandle handle = fd;
  ASSERT_EQ(drv.d2->SetPortHandle(&handle), 1);
  EXPECT_EQ(drv.d->ClosePort(), 1);
  EXPECT_FALSE(DescriptorOpen(fd));
  // The descriptor number may be reused by the next open; a second ClosePort
  // must not close that newcomer.
  const int reused = open("/dev/null", O_RDONLY);
  ASSERT_GE(reused, 0);
  EXPECT_EQ(drv.d->ClosePort(), 1);
  EXPECT_TRUE(DescriptorOpen(reused));
  close(reused);
}

}  // namespace
