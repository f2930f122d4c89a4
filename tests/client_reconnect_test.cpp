// The client outlives a driver's refused replies, failing receives, restarts, and going away for good.
#include "tests/support/driver_harness.h"

#include <tlhelp32.h>  // after windows.h

namespace varnok::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::wstring kWarnConnectionLost = L"lost connection to kernel driver - reconnecting";
const std::wstring kWarnConnectionRestored = L"connection to kernel driver restored";
constexpr auto kMaxReconnectDelay = 5s;  // between two connection attempts

std::size_t ThreadCount() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1u : 0u;
    }
    ::CloseHandle(snapshot);
    return count;
}

class ReconnectTest : public SimulatedDriverTest {
protected:
    static std::size_t LinesSaying(const std::wstring& text, std::size_t count = 0) {
        std::size_t lines = 0;
        Host().WaitUntil([&] {
            lines = static_cast<std::size_t>(
                std::count(Host().log.begin(), Host().log.end(), LogLine{VARNOK_LOG_WARN, text}));
            return lines >= count;
        });
        return lines;
    }

    void ExpectEventsAnswered(std::uint64_t first_event_id, std::uint32_t count) {
        const std::wstring file = folder_.File(L"plain.txt");
        for (std::uint64_t event_id = first_event_id; event_id < first_event_id + count; ++event_id) {
            Examine(file, event_id);
        }
    }

    // All 25 buffers are in circulation: 25 events of one slow file are examined at the same time.
    void ExpectEveryBufferInCirculation() {
        const std::wstring slow = folder_.Download(L"held.exe");
        HoldScansOf(slow);
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        for (std::uint32_t i = 0; i < kScanThreadCount; ++i) {
            PostFileEvent(slow, 0xC000 + i, i);
        }
        EXPECT_TRUE(WaitForSlowScans(kScanThreadCount)) << g_slow_scanner.waiting << " events examined at once";
        ReleaseSlowScans();
        EXPECT_TRUE(SimWaitForTraffic(0, commands + kScanThreadCount, kWaitMs));
    }
};

// Refused replies end their events, failing receives are tried again: no worker or buffer is lost.
TEST_F(ReconnectTest, RefusedRepliesAndFailingReceivesLoseNoWorkerNorBuffer) {
    Start();
    const std::wstring file = folder_.File(L"plain.txt");
    const std::uint32_t refused = kScanThreadCount + 5;
    SimRefuseReplies(refused);
    const Clock::time_point start = Clock::now();
    for (std::uint64_t event_id = 1; event_id <= refused; ++event_id) {
        PostFileEvent(file, event_id);
    }
    ASSERT_TRUE(SimWaitForTraffic(refused, 1, kWaitMs));
    SimFailReceives(HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES), 10);

    ExpectEventsAnswered(100, 2 * kScanThreadCount);
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_GE(verdict.EventId, 100u) << "a refused reply got a verdict";
    }
    ExpectEveryBufferInCirculation();
    for (const std::wstring flood :
         {L"kernel driver refused a reply", L"could not wait for kernel driver - retrying"}) {
        const std::size_t lines = LinesSaying(flood, 1);  // another only once the interval has passed
        EXPECT_TRUE(lines == 1 || (lines > 1 && Clock::now() - start >= 30s)) << lines;
    }
    EXPECT_EQ(LinesSaying(kWarnConnectionLost), 0u);
    EXPECT_EQ(SimConnectionCount(), 1u);
}

// The restarted driver gets the latest configuration; after 50 restarts no buffer, handle or thread is lost.
TEST_F(ReconnectTest, RestartedDriverGetsTheLatestConfigurationAndNothingLeaks) {
    Start();
    ASSERT_EQ(ClientDisconnect(), S_OK);
    SimResetTraffic();
    Host().Forget(true);
    const std::uintptr_t handles = usage::HandleSlot();
    const std::size_t threads = ThreadCount();
    const std::uint64_t heap = usage::HeapBytesInUse();

    Start();
    EXPECT_EQ(SetDriverConfiguration(L"second", 3, 4), 1);
    SimFailConnect(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), 4);
    const std::uint32_t attempts = SimConnectAttempts();
    SimDropConnection();
    ASSERT_EQ(LinesSaying(kWarnConnectionLost, 1), 1u);
    EXPECT_EQ(SetDriverConfiguration(L"third", 5, 6), 0);  // remembered for the reconnection
    SimResetTraffic();
    ASSERT_TRUE(SimWaitForConnections(1, attempts + 4, kWaitMs));  // after 100, 200, 400, 800 ms
    const Clock::time_point refused_last = Clock::now();
    ASSERT_TRUE(SimWaitForConnections(2, attempts + 5, kWaitMs));
    EXPECT_LT(Clock::now() - refused_last, kMaxReconnectDelay);
    ASSERT_EQ(LinesSaying(kWarnConnectionRestored, 1), 1u);
    const ScanCommand resent = As<ScanCommand>(Traffic(SIM_TRAFFIC_COMMAND).at(0));
    EXPECT_EQ(std::wstring(resent.ConfigText), L"third");
    EXPECT_EQ(resent.ConfigValue1, 5u);
    EXPECT_EQ(resent.ConfigValue2, 6u);
    ExpectEventsAnswered(1, 2 * kScanThreadCount);
    EXPECT_EQ(SetDriverConfiguration(L"fourth", 7, 8), 1);
    EXPECT_EQ(LinesSaying(kWarnConnectionLost), 1u);

    std::uint32_t connections = SimConnectionCount();
    for (int restart = 0; restart < 50; ++restart) {
        if (restart == 0) {
            SimFailReceives(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), 1);  // as once the driver closed its port
            ExpectEventsAnswered(999, 1);
            ++connections;
        } else if (restart % 2 == 0) {
            SimDropConnection();
            ++connections;
        } else {
            SimClosePort();
            ASSERT_EQ(SimCreatePort(), S_OK);
            connections = 1;
        }
        ASSERT_TRUE(SimWaitForConnections(connections, 0, kWaitMs)) << restart;
        const std::size_t restored = static_cast<std::size_t>(restart) + 2;  // configured again
        ASSERT_EQ(LinesSaying(kWarnConnectionRestored, restored), restored) << restart;
        ExpectEventsAnswered(1000 * static_cast<std::uint64_t>(restart + 1), 1);
    }
    ExpectEveryBufferInCirculation();
    ASSERT_EQ(ClientDisconnect(), S_OK);
    SimResetTraffic();
    Host().Forget(true);
    EXPECT_LE(usage::HandleSlot(), handles);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_LT(usage::HeapBytesInUse(), heap + 256 * 1024);
}

// A stop is prompt whatever the driver does, also gone while the library waits; a new start works.
TEST_F(ReconnectTest, StopIsPromptWhateverTheDriverDoesAndAFreshStartWorks) {
    const std::size_t threads_idle = ThreadCount();
    for (int round = 0; round < 3; ++round) {
        Start();
        const std::wstring file = folder_.File(L"plain.txt");
        SimRefuseReplies(kScanThreadCount);
        for (std::uint64_t event_id = 1; event_id <= kScanThreadCount; ++event_id) {
            PostFileEvent(file, event_id);
        }
        SimFailReceives(HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES), 5);
        SimDropConnection();
        EXPECT_EQ(ClientDisconnect(), S_OK);
        EXPECT_FALSE(SimIsConnected());
        SimFailReceives(S_OK, 0);
        SimRefuseReplies(0);
        SimResetTraffic();
    }

    Start();
    const std::uint32_t attempts = SimConnectAttempts();
    SimClosePort();
    ASSERT_TRUE(SimWaitForConnections(0, attempts + 6, kWaitMs));  // then the supervisor waits 5 s
    const Clock::time_point before = Clock::now();
    EXPECT_EQ(ClientDisconnect(), S_OK);
    EXPECT_LT(Clock::now() - before, kMaxReconnectDelay / 2);
    EXPECT_EQ(ThreadCount(), threads_idle);

    EXPECT_EQ(ClientDisconnect(), E_POINTER);
    ASSERT_EQ(SimCreatePort(), S_OK);
    SimResetTraffic();
    Start();
    ExpectEventsAnswered(1, 5);
}

}  // namespace
}  // namespace varnok::test
