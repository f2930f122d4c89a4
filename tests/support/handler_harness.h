// The handler of one event on its own: the fake host, a fake verdict sink, a key, scratch files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "record_key.h"
#include "scan_event.h"
#include "tests/support/fake_host.h"
#include "trace.h"
#include "verdicts.h"

namespace varnok::test {

inline constexpr HostCallbacks kFakeHost{HostScan, HostResult, HostLog};
// What the fake sink answers for an unreachable driver: HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE).
inline constexpr HResult kSendRefused = static_cast<HResult>(0x80070006u);

// The driver's side, and the developer's trace, called on the test's own thread.
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

    void Forget() {
        Host().Forget(true);
        sink_.verdicts.clear();
        g_traces.clear();
    }

    // Handles one event; whether scanned (as reported, with that zone, origin and values, verdict sent and
    // reported, only the event and the warning logged), else verdict 2 went out.
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
        EXPECT_EQ(std::tie(scans[0].file_name, scans[0].zone_id, scans[0].source, scans[0].value1, scans[0].value2,
                           scans[0].value3),
                  std::tie(reported, zone, source, kEventValue1, kEventValue2, kEventValue3));
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{verdict});
        EXPECT_EQ(Host().Results(), (std::vector<std::pair<std::wstring, std::int32_t>>{{reported, verdict}}));
        EXPECT_EQ(Log(), log);
        return true;
    }

    // Handles one event for a name not to be scanned: verdict 2 goes out, and the log gets those lines.
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
