// The port calls as the driver gets them: whole fixed-size records, unused bytes zero, refusals told.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_sim.h"
#include "protocol.h"
#include "unique_handle.h"

namespace varnok::test {
namespace {

constexpr std::size_t kCommandBytes = 2096;
constexpr wchar_t kConfigText[] = L"C:\\Varnok\\rules.cfg";

template <class T>
void PutAt(std::vector<std::uint8_t>& bytes, std::size_t offset, const T& value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

TEST(PortCalls, CommandsCarryOnlyTheirFields) {
    ASSERT_EQ(SimCreatePort(), S_OK);
    SimResetTraffic();
    HANDLE connected = nullptr;
    ASSERT_EQ(ConnectToDriver(&connected), S_OK);
    const UniqueHandle port(connected);

    ASSERT_EQ(SendScanResult(port.Get(), -7, 0x8877665544332211ULL, 600), S_OK);
    ASSERT_EQ(SendDriverConfiguration(port.Get(), kConfigText, 10, 0xFFFFFFF0U), S_OK);
    std::vector<std::uint8_t> result(kCommandBytes);
    PutAt(result, 0, std::uint32_t{1});
    PutAt(result, 8, 0x8877665544332211ULL);
    PutAt(result, 16, std::uint32_t{600});
    PutAt(result, 32, std::int32_t{-7});
    std::vector<std::uint8_t> config(kCommandBytes);
    PutAt(config, 0, std::uint32_t{2});
    std::memcpy(config.data() + 36, kConfigText, sizeof(kConfigText));
    PutAt(config, 2084, std::uint32_t{10});
    PutAt(config, 2088, 0xFFFFFFF0U);
    for (const std::uint32_t i : {0U, 1U}) {
        SimTraffic command{};
        ASSERT_TRUE(SimGetTraffic(SIM_TRAFFIC_COMMAND, i, &command));
        EXPECT_EQ(command.Length, kCommandBytes);
        EXPECT_EQ(std::vector<std::uint8_t>(command.Bytes, command.Bytes + kCommandBytes), i == 0 ? result : config);
    }

    SimFailCommands(HResultFromWin32(ERROR_GEN_FAILURE), 1);
    EXPECT_EQ(SendScanResult(port.Get(), 0, 1, 1), HResultFromWin32(ERROR_GEN_FAILURE));
    EXPECT_EQ(SendScanResult(port.Get(), 0, 1, 1), S_OK);
    SimClosePort();
}

}  // namespace
}  // namespace varnok::test
