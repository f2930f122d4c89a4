// A test of the library's exports against a freshly created simulated port; the library is stopped
// and the port closed after it.
#pragma once

#include "support/host_harness.h"

namespace varnok::test {

class SimulatedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host().Reset();
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
    }
    void TearDown() override {
        ClientDisconnect();
        SimClosePort();
        SimResetTraffic();
    }

    TempFolder folder;
};

}  // namespace varnok::test
