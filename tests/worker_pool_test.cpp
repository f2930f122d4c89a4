// The pool's shut-down and a start-up that fails halfway, seen from inside the library.
#include <windows.h>

#include <gtest/gtest.h>

#include "lifecycle.h"
#include "records.h"
#include "support/host_harness.h"
#include "tools/common/process_usage.h"
#include "trace.h"

namespace varnok::test {
namespace {

class WorkerPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
    }
    void TearDown() override {
        SimReleaseHeldReceives();
        varnok::ClientDisconnect();
        SimClosePort();
    }
    TempFolder folder;
};

TEST_F(WorkerPoolTest, ReceiveQueuedAfterTheCancelStillEndsItsWorker) {
    const DriverConfig config = MakeConfig();
    ASSERT_EQ(varnok::FilterInit(&config, nullptr, nullptr, nullptr), S_OK);

    // A worker answers an event, finds the shutdown flag clear and is about to receive again...
    SimHoldReceives(1);
    PostFileEvent(folder.File(L"plain.txt"), 1);
    ASSERT_TRUE(SimWaitForHeldReceives(1, kWaitMs));

    // ...when the shut-down sets the flag and cancels every pending receive; only then does the
    // worker's request go out.
    RunningClient& context = *g_process.client;
    context.shut_down.store(true);
    ::CancelIoEx(context.connection->port, nullptr);
    SimReleaseHeldReceives();

    HANDLE hScanThreads[kScanThreadCount];
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        hScanThreads[i] = context.workers[i].thread.Get();
    }
    const DWORD ended = ::WaitForMultipleObjects(kScanThreadCount, hScanThreads, TRUE, kWaitMs);
    if (ended != WAIT_OBJECT_0) {
        ::CancelIoEx(context.connection->port, nullptr);  // let the tear-down end the stuck worker
    }
    EXPECT_EQ(ended, WAIT_OBJECT_0) << "a worker still waits for driver traffic";
    EXPECT_EQ(varnok::ClientDisconnect(), S_OK);
}

TEST_F(WorkerPoolTest, StartThatFailsWhileQueueingLeavesNothingBehind) {
    const DriverConfig config = MakeConfig();
    ASSERT_EQ(varnok::FilterInit(&config, nullptr, nullptr, nullptr), S_OK);  // warm up the process
    ASSERT_EQ(varnok::ClientDisconnect(), S_OK);
    const std::uintptr_t handles_before = usage::HandleSlot();

    for (const std::uint32_t queued_before_failure : {0u, 10u, 24u}) {
        SimFailReceive(E_ACCESSDENIED, queued_before_failure);
        EXPECT_EQ(varnok::FilterInit(&config, nullptr, nullptr, nullptr), E_ACCESSDENIED);
        EXPECT_EQ(varnok::ClientDisconnect(), E_POINTER);  // nothing left to stop or free
        EXPECT_FALSE(SimIsConnected());
        EXPECT_LE(usage::HandleSlot(), handles_before);
    }

    ASSERT_EQ(varnok::FilterInit(&config, nullptr, nullptr, nullptr), S_OK);
    SimResetTraffic();
    PostFileEvent(folder.File(L"plain.txt"), 1);
    EXPECT_TRUE(SimWaitForTraffic(1, 1, kWaitMs));
}

std::vector<std::wstring> g_traces;
void CollectTrace(const wchar_t* text) { g_traces.emplace_back(text); }

// The stop path runs on the caller's thread and waits for every worker before it traces its status.
TEST_F(WorkerPoolTest, DisconnectTracesEachWorkersExitStatus) {
    const DriverConfig config = MakeConfig();
    ASSERT_EQ(varnok::FilterInit(&config, nullptr, nullptr, nullptr), S_OK);
    g_traces.clear();
    SetTraceSink(CollectTrace);
    const HRESULT disconnected = varnok::ClientDisconnect();
    SetTraceSink(nullptr);

    EXPECT_EQ(disconnected, S_OK);
    const auto worker_lines = std::count_if(g_traces.begin(), g_traces.end(),
                                            [](const std::wstring& line) { return line.starts_with(L"worker "); });
    EXPECT_EQ(worker_lines, static_cast<std::ptrdiff_t>(kScanThreadCount));
}

}  // namespace
}  // namespace varnok::test
