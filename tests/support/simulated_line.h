// The built library driving the bus simulator over a pseudo-terminal, as a
// host would: loaded by path, reached through its interfaces only.
#ifndef VELK_TESTS_SUPPORT_SIMULATED_LINE_H
#define VELK_TESTS_SUPPORT_SIMULATED_LINE_H

#include <gtest/gtest.h>

#include <string>

#include "sim/bus.h"
#include "sim/server.h"
#include "support/host_driver.h"
#include "support/line_settings.h"

namespace testsupport {

class SimulatedLineTest : public ::testing::Test {
 protected:
  explicit SimulatedLineTest(int16_t answerTimeoutMs) : answerTimeoutMs_(answerTimeoutMs) {}

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.ServePseudoTerminal(&error)) << error;
    ASSERT_NE(host.d, nullptr);
    ASSERT_NE(host.d2, nullptr);
    ASSERT_LT(server.path().size(), sizeof(velk::PortSettings::portName));
    const velk::PortSettings s = MakeSettings(server.path().c_str(), 9600, answerTimeoutMs_);
    ASSERT_EQ(host.d->OpenPort(0, &s), 1);
  }

  // Public, so helpers outside the fixture can reach the line's pieces.
 public:
  HostLibrary library;
  sim::Bus bus;
  sim::Server server{bus};
  HostDriver host{library};

 private:
  int16_t answerTimeoutMs_;
};

}  // namespace testsupport

#endif
