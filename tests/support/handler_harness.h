// The handler of one file event on its own, as the decision's tests drive it: a fake verdict sink
// and fake host callbacks that record what they saw, a key for the records, and files in the tests'
// scratch folder. Neither the DLL, nor the port, nor the driver simulator takes part.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "record_key.h"
#include "scan_event.h"
#include "tests/support/test_files.h"
#include "trace.h"

namespace varnok::test {

// What the fake host's scan answers unless a test says otherwise: neither of the library's own verdicts.
inline constexpr std::int32_t kHostVerdict = -7;
// What the fake sink answers when the driver is to be unreachable.
inline constexpr HResult kSendRefused = static_cast<HResult>(0x80070006u);  // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)
inline constexpr std::uint32_t kInfo = 0;
inline constexpr std::uint32_t kWarn = 1;

struct HandlerScanCall {
    std::wstring file_name;
    std::int32_t zone_id;
    std::wstring source;
    std::uint32_t value1, value2, value3;
};

// What the fake host and the fake sink saw, and how they answer. The handler calls them on the
// test's own thread.
struct Recorded {
    HResult send_status = kSOk;
    std::int32_t scan_verdict = kHostVerdict;
    std::function<void(const std::wstring&)> on_scan;  // what the scan does to the file first
    std::function<void()> on_send;                     // what the driver does as the verdict arrives
    std::vector<std::int32_t> verdicts{};
    std::vector<HandlerScanCall> scans{};
    std::vector<std::pair<std::wstring, std::int32_t>> results{};
    std::vector<LogLine> log{};
    std::vector<std::wstring> traces{};
};
inline Recorded* g_recorded = nullptr;

inline HResult SendToFake(void* context, std::int32_t verdict) {
    auto& recorded = *static_cast<Recorded*>(context);
    recorded.verdicts.push_back(verdict);
    if (recorded.on_send) {
        recorded.on_send();
    }
    return recorded.send_status;
}

inline std::int32_t FakeScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    g_recorded->scans.push_back(
        {file_info.FileName, file_info.ZoneId, file_info.Source, value1, value2, file_info.Value3});
    if (g_recorded->on_scan) {
        g_recorded->on_scan(file_info.FileName);
    }
    return g_recorded->scan_verdict;
}

inline void FakeResult(const wchar_t* path, std::int32_t verdict) { g_recorded->results.emplace_back(path, verdict); }
inline void FakeLog(std::uint32_t level, const wchar_t* text) { g_recorded->log.push_back({level, text}); }
inline void FakeTraceSink(const wchar_t* text) { g_recorded->traces.emplace_back(text); }

inline LogLine NewEvent(const std::wstring& file) { return {kInfo, L"NEW EVENT -----  for " + file}; }

// On any volume; the records that the library keeps only on NTFS are not looked at.
class AnyVolumeHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_recorded = &recorded_;
        SetTraceSink(FakeTraceSink);
        ASSERT_EQ(RecordKey::Create(key_), kSOk);
    }
    void TearDown() override {
        SetTraceSink(nullptr);
        g_recorded = nullptr;
    }

    HResult Handle(const std::wstring& file, HostCallbacks host = {FakeScan, FakeResult, FakeLog}) {
        return HandleWithKey(file, *key_, host);
    }
    HResult HandleWithKey(const std::wstring& file, const RecordKey& key,
                          HostCallbacks host = {FakeScan, FakeResult, FakeLog}) {
        const FileEvent event{file, kEventValue1, kEventValue2, kEventValue3};
        return HandleScanEvent(event, VerdictSink{&recorded_, SendToFake}, host, key);
    }

    // Forgets what the fakes saw, keeping how they answer.
    void Forget() {
        recorded_ = Recorded{recorded_.send_status, recorded_.scan_verdict, recorded_.on_scan, recorded_.on_send};
    }

    std::vector<std::int32_t> Verdicts() const { return recorded_.verdicts; }

    std::wstring Download(const std::wstring& name, const std::string& zone_identifier = kDownloadZone) const {
        const std::wstring file = folder_.File(name);
        WriteStream(file, L"Zone.Identifier", zone_identifier);
        return file;
    }

    Recorded recorded_;
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
