// The client outlives what a driver does over weeks: replies it no longer waits for, receives that
// fail for a while, restarts, going away for good.
#include "tests/support/driver_harness.h"

#include <tlhelp32.h>  // after windows.h

namespace varnok::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::wstring kWarnReplyRefused = L"kernel driver refused a reply";
const std::wstring kWarnReceiveFailed = L"could not wait for kernel driver - retrying";
const std::wstring kWarnConnectionLost = L"lost connection to kernel driver - reconnecting";
const std::wstring kWarnConnectionRestored = L"connection to kernel driver restored";
// The supervisor's longest wait between two connection attempts.
constexpr auto kMaxReconnectDelay = 5s;

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
    static void Start() {
        Host().answer = ScanSlowly;
        SimulatedDriverTest::Start();
    }

    // Waits until the warning has been logged `count` times; then the count goes on to be checked.
    static std::size_t LinesSaying(const std::wstring& text, std::size_t count = 0) {
        std::size_t lines = 0;
        Host().WaitUntil([&] {
            lines = static_cast<std::size_t>(
                std::count(Host().log.begin(), Host().log.end(), LogLine{VARNOK_LOG_WARN, text}));
            return lines >= count;
        });
        return lines;
    }

    // Sends `count` events for a plain file one after another; each must get its verdict.
    void ExpectEventsAnswered(std::uint64_t first_event_id, std::uint32_t count) {
        const std::wstring file = folder_.File(L"plain.txt");
        for (std::uint64_t event_id = first_event_id; event_id < first_event_id + count; ++event_id) {
            Examine(file, event_id);
        }
    }

    // One warning for a flood of failures of one kind; another only once its interval has passed.
    static void ExpectOneWarningForTheFlood(const std::wstring& text, Clock::time_point since) {
        EXPECT_GE(LinesSaying(text), 1u);
        if (Clock::now() - since < 30s) {
            EXPECT_EQ(LinesSaying(text), 1u);
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

// Replies the driver no longer waits for end their events; receives that fail for a while are
// tried again with their buffers: no worker or buffer is lost, one warning for each flood.
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
    ExpectOneWarningForTheFlood(kWarnReplyRefused, start);
    ExpectOneWarningForTheFlood(kWarnReceiveFailed, start);
    EXPECT_EQ(LinesSaying(kWarnConnectionLost), 0u);
    EXPECT_EQ(SimConnectionCount(), 1u);
}

// The driver restarts and refuses connections for a while, the host configures meanwhile: the
// library connects again, sends the latest configuration, and after 50 more restarts (keeping the
// port or making a new one) still has every buffer, and leaves handles, threads and heaps level.
TEST_F(ReconnectTest, RestartedDriverGetsTheLatestConfigurationAndNothingLeaks) {
    // Measured with the client stopped and the recorded traffic let go: while it runs, the
    // connection's handle moves the lowest free slot.
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
    // Four failures, then the connection: after waits of 100, 200, 400, 800 and 1600 ms.
    ASSERT_TRUE(SimWaitForConnections(1, attempts + 4, kWaitMs));
    const Clock::time_point refused_last = Clock::now();
    ASSERT_TRUE(SimWaitForConnections(2, attempts + 5, kWaitMs));
    EXPECT_LT(Clock::now() - refused_last, kMaxReconnectDelay);
    ASSERT_EQ(LinesSaying(kWarnConnectionRestored, 1), 1u);
    const ScanCommand resent = As<ScanCommand>(Traffic(SIM_TRAFFIC_COMMAND).at(0));
    EXPECT_EQ(resent.Command, static_cast<std::uint32_t>(CommandConfiguration));
    EXPECT_EQ(std::wstring(resent.ConfigText), L"third");
    EXPECT_EQ(resent.ConfigValue1, 5u);
    EXPECT_EQ(resent.ConfigValue2, 6u);
    ExpectEventsAnswered(1, 2 * kScanThreadCount);
    EXPECT_EQ(SetDriverConfiguration(L"fourth", 7, 8), 1);
    EXPECT_EQ(LinesSaying(kWarnConnectionLost), 1u);

    std::uint32_t connections = SimConnectionCount();
    for (int restart = 0; restart < 50; ++restart) {
        if (restart == 0) {
            // How the Filter Manager answers a receive once the driver has closed its port.
            SimFailReceives(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), 1);
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

// A stop returns promptly whatever the driver does: refusing replies while receives fail and it
// restarts, or gone for good while the library waits to connect again. A fresh start then works.
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
    // After six failed attempts the supervisor waits 5 s: a stop that waited for it would take
    // seconds, a prompt one milliseconds; half the wait is a bound a loaded machine still keeps.
    ASSERT_TRUE(SimWaitForConnections(0, attempts + 6, kWaitMs));
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
