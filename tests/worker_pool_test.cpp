// The pool's stop, a start that fails halfway, and the watch over its file calls, from inside.
#include "blocking_call.h"
#include "lifecycle.h"
#include "tests/support/driver_harness.h"

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
    TempFolder folder_;
    const DriverConfig config_ = MakeConfig();
};

// A worker whose receive goes out after the stop's cancel still ends; a start failing halfway leaves nothing.
TEST_F(WorkerPoolTest, StopsAndFailedStartsLeaveNoWorkerBehind) {
    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), S_OK);
    SimHoldReceives(1);
    PostFileEvent(folder_.File(L"plain.txt"), 1);
    ASSERT_TRUE(SimWaitForHeldReceives(1, kWaitMs));
    RunningClient& context = *g_process.client;
    context.shut_down.store(true);
    ::CancelIoEx(context.connection->port, nullptr);
    SimReleaseHeldReceives();

    for (const auto& worker : context.workers) {
        const DWORD ended = ::WaitForSingleObject(worker.thread.Get(), kWaitMs);
        EXPECT_EQ(ended, WAIT_OBJECT_0) << "a worker still waits for driver traffic";
        if (ended != WAIT_OBJECT_0) {
            ::CancelIoEx(context.connection->port, nullptr);  // let the tear-down end the stuck worker
        }
    }
    ASSERT_EQ(varnok::ClientDisconnect(), S_OK);

    const std::uintptr_t handles_before = usage::HandleSlot();

    for (const std::uint32_t queued_before_failure : {0u, 10u, 24u}) {
        SimFailReceive(E_ACCESSDENIED, queued_before_failure);
        EXPECT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), E_ACCESSDENIED);
        EXPECT_EQ(varnok::ClientDisconnect(), E_POINTER);  // nothing left to stop or free
        EXPECT_FALSE(SimIsConnected());
        EXPECT_LE(usage::HandleSlot(), handles_before);
    }

    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), S_OK);
    SimResetTraffic();
    PostFileEvent(folder_.File(L"plain.txt"), 1);
    EXPECT_TRUE(SimWaitForTraffic(1, 1, kWaitMs));
}

// Each event reaches, whole, the handler the pool was started with, whose verdict the driver gets.
HResult AnswerWithTheNameLength(const FileEvent& event, const VerdictSink& sink, const HostCallbacks& /*host*/,
                                const RecordKey& /*key*/) noexcept {
    const bool whole = event.value1 == kEventValue1 && event.value2 == kEventValue2 && event.value3 == kEventValue3;
    return sink.send(sink.context, whole ? static_cast<std::int32_t>(event.file_name.size()) : -1);
}
TEST_F(WorkerPoolTest, EachEventReachesTheGivenHandlerWhoseVerdictTheDriverGets) {
    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr, AnswerWithTheNameLength), S_OK);
    const std::wstring name = folder_.File(L"any.exe");
    PostFileEvent(name, 7);
    ASSERT_TRUE(SimWaitForTraffic(1, 2, kWaitMs));  // the reply; the configuration and the verdict
    ASSERT_EQ(Verdicts().size(), 1u);
    EXPECT_EQ(Verdicts()[0].EventId, 7u);
    EXPECT_EQ(Verdicts()[0].Verdict, static_cast<std::int32_t>(name.size()));
}

// The stop while one worker's record write only a cancel ends, the others at the file's gate behind.
TEST_F(WorkerPoolTest, StopEndsWorkersHeldUpInCallsThatOnlyACancelEnds) {
    VARNOK_REQUIRE_NTFS_VOLUME();
    const std::wstring file = folder_.Download(L"held.exe");
    WriteStream(file, kRecordStream, "Other=1\r\n");  // every event adds the host to it
    const UniqueHandle all_held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> writes{0};
    std::atomic<int> waits{0};
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (!site.name.ends_with(L"held.exe:" + kRecordStream) ||
            (site.call != FileCall::kWrite && site.call != FileCall::kWait)) {
            return Proceed();
        }
        (site.call == FileCall::kWrite ? writes : waits) += 1;
        if (writes >= 1 && waits >= static_cast<int>(kScanThreadCount) - 1) {
            ::SetEvent(all_held.Get());
        }
        return site.call == FileCall::kWrite ? BlockUntilCancelled() : Proceed();
    });
    const UniqueHandle stopped(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> stopping{false};  // a scan begun after the stop began would hold it
    Host().answer = [&](const ScanCall&) {
        if (stopping) {
            ::WaitForSingleObject(stopped.Get(), kWaitMs);
        }
        return kHostVerdict;
    };
    ASSERT_EQ(varnok::FilterInit(&config_, HostScan, nullptr, nullptr), S_OK);
    for (std::uint64_t event = 1; event <= kScanThreadCount; ++event) {
        PostFileEvent(file, event);
    }
    ASSERT_EQ(::WaitForSingleObject(all_held.Get(), kWaitMs), WAIT_OBJECT_0);
    const auto start = std::chrono::steady_clock::now();
    stopping = true;
    EXPECT_EQ(varnok::ClientDisconnect(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ::SetEvent(stopped.Get());
    Host().Forget();
    EXPECT_EQ(g_blocks_not_cancelled, 0);
    EXPECT_EQ(Verdicts().size(), kScanThreadCount);
}

// A call held up past the limit is cancelled by the client's own watch: the event gets its verdict.
TEST_F(WorkerPoolTest, CallHeldUpPastTheLimitIsCancelledWhileTheClientRuns) {
    const std::wstring file = folder_.Download(L"stuck.exe");
    std::atomic<bool> held{false};
    const ScopedSeam seam([&](const FileCallSite& site) {
        const bool the_look = site.call == FileCall::kOpen && site.name.ends_with(L"stuck.exe:Zone.Identifier");
        return the_look && !held.exchange(true) ? BlockUntilCancelled() : Proceed();
    });
    ASSERT_EQ(varnok::FilterInit(&config_, HostScan, nullptr, nullptr), S_OK);
    PostFileEvent(file, 1);
    ASSERT_TRUE(SimWaitForTraffic(1, 2, kWaitMs));  // the reply; the configuration and the verdict
    EXPECT_TRUE(held);
    EXPECT_EQ(g_blocks_not_cancelled, 0);
    EXPECT_EQ(Verdicts().at(0).Verdict, kHostVerdict);
}

// A handle owner keeps the last error across a close, and adopts a handle with its maker's error.
TEST(UniqueHandleTest, EachFailureReportsItsOwnError) {
    const HANDLE stale = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(stale != nullptr && ::CloseHandle(stale));  // closing it again fails
    UniqueHandle owner(stale);
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    owner.Reset();
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    owner.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(owner.Adopt(::CreateFileW(L"\\\\?\\Z:\\no such folder\\x.exe", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr)),
              HResultFromWin32(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(owner);
    EXPECT_EQ(owner.Adopt(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), kSOk);
    EXPECT_TRUE(owner);
}

// The watched thread's read inside a BlockingCall, then one outside, as a host's callback makes it.
struct WatchedReads {
    HANDLE pipe = nullptr;
    BlockingCallWatch watch;
    std::atomic<DWORD> watched_error{ERROR_SUCCESS};
    std::atomic<DWORD> unwatched_read{0};
};
DWORD WINAPI ReadTwice(LPVOID parameter) {
    auto& reads = *static_cast<WatchedReads*>(parameter);
    WatchThisThread(&reads.watch);
    char byte = 0;
    DWORD read = 0;
    {
        const BlockingCall call;
        reads.watched_error = ::ReadFile(reads.pipe, &byte, 1, &read, nullptr) ? ERROR_SUCCESS : ::GetLastError();
    }
    reads.unwatched_read = ::ReadFile(reads.pipe, &byte, 1, &read, nullptr) ? read : 0;
    return 0;
}

// A read of a silent pipe is cancelled once it lasted long enough, and only the library's.
TEST(BlockingCallTest, OnlyTheLibrarysCallThatLastedTooLongIsCancelled) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    const UniqueHandle reader(read_end);
    const UniqueHandle writer(write_end);
    WatchedReads reads;
    reads.pipe = read_end;
    const UniqueHandle thread(::CreateThread(nullptr, 0, ReadTwice, &reads, 0, nullptr));
    ASSERT_TRUE(thread);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    const auto until = [&](auto done) {
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            ::SwitchToThread();
        }
    };
    until([&] { return reads.watch.since.load() != 0; });
    const std::uint64_t since = reads.watch.since.load();
    ASSERT_NE(since, 0u);
    EXPECT_FALSE(CancelBlockingCall(reads.watch, thread.Get(), since - 1));       // not long enough yet
    until([&] { return CancelBlockingCall(reads.watch, thread.Get(), since); });  // once the read waits
    until([&] { return reads.watch.since.load() == 0; });
    EXPECT_EQ(reads.watched_error.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelBlockingCall(reads.watch, thread.Get(), ~std::uint64_t{0}));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(writer.Get(), "x", 1, &written, nullptr));
    ASSERT_EQ(::WaitForSingleObject(thread.Get(), kWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(reads.unwatched_read.load(), 1u);
}

}  // namespace
}  // namespace varnok::test
