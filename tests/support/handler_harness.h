// The handler of one file event on its own, as the decision's tests drive it: the fake host, a fake
// verdict sink in the driver's place, a key for the records, and files in the tests' scratch folder.
// Neither the DLL, nor the port, nor the driver simulator takes part.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "record_key.h"
#include "scan_event.h"
#include "tests/support/fake_host.h"
#include "trace.h"
#include "verdicts.h"

namespace varnok::test {

inline constexpr HostCallbacks kFakeHost{HostScan, HostResult, HostLog};
// What the fake sink answers when the driver is to be unreachable.
inline constexpr HResult kSendRefused = static_cast<HResult>(0x80070006u);  // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)

// The driver's side, and the developer's trace: the handler calls them on the test's own thread.
struct FakeSink {
    HResult status = kSOk;
    std::function<void()> on_send;  // what the driver does as the verdict arrives
    std::vector<std::int32_t> verdicts;
};
inline std::vector<std::wstring> g_traces;

// On any volume; the records that the library keeps only on NTFS are not looked at.
class AnyVolumeHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host().Forget();
        g_traces.clear();
        SetTraceSink([](const wchar_t* text) { g_traces.emplace_back(text); });
        ASSERT_EQ(RecordKey::Create(key_), kSOk);
    }
    void TearDown() override { SetTraceSink(nullptr); }

    HResult Handle(const std::wstring& file, const HostCallbacks& host = kFakeHost) {
        const FileEvent event{file, kEventValue1, kEventValue2, kEventValue3};
        const auto send = [](void* context, std::int32_t verdict) {
            auto& sink = *static_cast<FakeSink*>(context);
            sink.verdicts.push_back(verdict);
            if (sink.on_send) {
                sink.on_send();
            }
            return sink.status;
        };
        return HandleScanEvent(event, VerdictSink{&sink_, send}, host, *key_);
    }

    // Forgets what the fakes saw, keeping how they answer.
    void Forget() {
        Host().Forget(true);
        sink_.verdicts.clear();
        g_traces.clear();
    }

    // Handles one event for the name and answers whether the host scanned it. A scan was of the name
    // as reported, with that zone and origin and the event's values, its verdict sent and reported,
    // and nothing logged but the event and the warning; without one, verdict 2 went out.
    bool Scanned(const std::wstring& reported, std::int32_t zone = 3, const std::wstring& source = kDownloadHost,
                 const std::wstring& warning = {}) {
        Forget();
        EXPECT_EQ(Handle(reported), kSOk) << Narrow(reported);
        const std::vector<ScanCall> scans = Scans();
        if (scans.empty()) {
            EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
            return false;
        }
        const std::int32_t verdict = Host().verdict;
        std::vector<LogLine> log{NewEvent(reported)};
        if (!warning.empty()) {
            log.push_back({VARNOK_LOG_WARN, warning});
        }
        EXPECT_EQ(scans.size(), 1u);
        EXPECT_EQ(scans[0].file_name, reported);
        EXPECT_EQ(scans[0].zone_id, zone);
        EXPECT_EQ(scans[0].source, source);
        EXPECT_EQ((std::vector{scans[0].value1, scans[0].value2, scans[0].value3}),
                  (std::vector{kEventValue1, kEventValue2, kEventValue3}));
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{verdict});
        EXPECT_EQ(Host().Results(), (std::vector<std::pair<std::wstring, std::int32_t>>{{reported, verdict}}));
        EXPECT_EQ(Log(), log);
        return true;
    }

    // Handles one event for the name, which is not to be scanned: verdict 2 goes out, and the host's
    // log gets those lines and no others.
    void ExpectUnscanned(const std::wstring& reported, HResult status, const std::vector<LogLine>& lines) {
        Forget();
        EXPECT_EQ(Handle(reported), status) << Narrow(reported);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
        EXPECT_TRUE(Scans().empty());
        EXPECT_EQ(Log(), lines);
    }

    const std::vector<std::int32_t>& Verdicts() const { return sink_.verdicts; }
    static std::vector<ScanCall> Scans() { return Host().Scans(); }
    static std::vector<LogLine> Log() { return Host().Log(); }

    FakeSink sink_;
    std::unique_ptr<RecordKey> key_;
    TempFolder folder_;
};

// On the NTFS volume, where the library keeps its records.
class HandlerTest : public AnyVolumeHandlerTest {
protected:
    void SetUp() override {
        VARNOK_REQUIRE_NTFS_VOLUME();
        AnyVolumeHandlerTest::SetUp();
    }
};

}  // namespace varnok::test
