// The "Velk" packet path allocates nothing on a line behind a device server
// either: the allocation functions of this test program count the calls
// made on the thread that processes the packet (the simulator's threads
// allocate as they please).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <new>
#include <string>

#include "driver/line_driver.h"
#include "ser2net_fixture.h"
#include "sim/bus.h"
#include "sim/server.h"
#include "support/line_settings.h"
#include "support/packet_builder.h"

namespace {

thread_local bool counting = false;
thread_local int allocations = 0;

void* CountedAllocation(size_t size) {
  if (counting) ++allocations;
  return malloc(size == 0 ? 1 : size);
}

}  // namespace

#include "support/replaced_allocation.h"

namespace {

TEST(NetLineAllocation, PacketsAllocateNothingRawOrRfc2217) {
  ASSERT_EQ(access(tooltest::kSer2net, X_OK), 0) << "ser2net is not installed";
  sim::Bus bus;
  std::string error;
  ASSERT_NE(bus.Add("Velk4017", 1, true, &error), nullptr) << error;
  sim::Server rawSide{bus};
  sim::Server telnetSide{bus};
  ASSERT_TRUE(rawSide.ServePseudoTerminal(&error)) << error;
  ASSERT_TRUE(telnetSide.ServePseudoTerminal(&error)) << error;
  tooltest::Ser2net server(rawSide.path(), telnetSide.path());
  ASSERT_TRUE(server.Start()) << server.log();

  for (bool rfc2217 : {false, true}) {
    SCOPED_TRACE(server.Name(rfc2217));
    driver::LineDriver driver;
    const velk::PortSettings s = testsupport::MakeSettings(server.Name(rfc2217).c_str(), 9600, 1000);
    ASSERT_EQ(driver.OpenPort(0, &s), 1);
    testsupport::HostPacket<velk::TagItem2> read("Velk4017", "AI", 0, 0, 1, true);
    read.Add(0, velk::kTypeFloat);
    testsupport::HostPacket<velk::TagItem2> write("Velk4017", "MP", 3, 1, 1, true);
    write.Add(0, velk::kTypeByte, 0x21);
    for (int i = 0; i < 3; ++i) {
      allocations = 0;
      counting = true;
      const int32_t a = driver.ProcessPacket2(read.get());
      const int32_t b = driver.ProcessPacket2(write.get());
      counting = false;
      EXPECT_EQ(a, 1);
      EXPECT_EQ(b, 1);
      EXPECT_EQ(allocations, 0) << "round " << i;
    }
    driver.ClosePort();
  }
}

}  // namespace
