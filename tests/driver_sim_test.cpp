// The library's port calls as the driver receives them: a command is a whole record of its fixed
// size, each byte that no field of it covers is zero (never a worker's stack), and a command the
// port refuses is told. The end-to-end tests read commands through the same records, so only here
// are the bytes compared as the driver lays them out.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.h"
#include "support/host_harness.h"
#include "unique_handle.h"

namespace varnok::test {
namespace {

constexpr std::size_t kCommandBytes = 2096;

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

    const std::wstring texts[] = {L"C:\\Program Files\\Varnok\\rules.cfg", std::wstring(1100, L'x')};
    std::vector<std::vector<std::uint8_t>> expected;  // in the order sent
    for (std::uint32_t i = 0; i < 2; ++i) {
        const std::int32_t verdict = i == 0 ? -7 : 2;
        ASSERT_EQ(SendScanResult(port.Get(), verdict, 0x8877665544332211ULL + i, 600 + i), S_OK);
        std::vector<std::uint8_t>& result = expected.emplace_back(kCommandBytes);
        PutAt(result, 0, std::uint32_t{1});
        PutAt(result, 8, 0x8877665544332211ULL + i);
        PutAt(result, 16, 600 + i);
        PutAt(result, 32, verdict);

        ASSERT_EQ(SendDriverConfiguration(port.Get(), texts[i].c_str(), 10 + i, 0xFFFFFFF0U + i), S_OK);
        std::vector<std::uint8_t>& config = expected.emplace_back(kCommandBytes);
        PutAt(config, 0, std::uint32_t{2});
        std::memcpy(config.data() + 36, texts[i].c_str(), std::min<std::size_t>(texts[i].size(), 1023) * 2);
        PutAt(config, 2084, 10 + i);
        PutAt(config, 2088, 0xFFFFFFF0U + i);
    }
    for (std::uint32_t i = 0; i < expected.size(); ++i) {
        SimTraffic command{};
        ASSERT_TRUE(SimGetTraffic(SIM_TRAFFIC_COMMAND, i, &command));
        EXPECT_EQ(command.Length, kCommandBytes);
        EXPECT_EQ(std::vector<std::uint8_t>(command.Bytes, command.Bytes + kCommandBytes), expected[i]) << i;
    }

    SimFailCommands(HResultFromWin32(ERROR_GEN_FAILURE), 1);
    EXPECT_EQ(SendScanResult(port.Get(), 0, 1, 1), HResultFromWin32(ERROR_GEN_FAILURE));
    EXPECT_EQ(SendScanResult(port.Get(), 0, 1, 1), S_OK);
    SimClosePort();
}

}  // namespace
}  // namespace varnok::test
