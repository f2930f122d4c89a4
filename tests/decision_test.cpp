// The handler of one file event on its own: each way out of the decision, against a fake verdict
// sink and fake host callbacks, on files in the tests' scratch folder. Neither the DLL, nor the
// port, nor the driver simulator takes part.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scan_event.h"
#include "tests/support/test_files.h"
#include "trace.h"
#include "unique_handle.h"
#include "verdicts.h"

namespace varnok::test {
namespace {

// The event's values as the driver would send them; the host must get them back unchanged.
constexpr std::uint32_t kValue1 = 0x1111;
constexpr std::uint32_t kValue2 = 0x2222;
constexpr std::uint32_t kValue3 = 0x3333;
// What the fake host's scan answers: neither of the library's own verdicts.
constexpr std::int32_t kHostVerdict = -7;
// What the fake sink answers when the driver is to be unreachable.
constexpr HResult kSendRefused = static_cast<HResult>(0x80070006u);  // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)
constexpr std::uint32_t kInfo = 0;
constexpr std::uint32_t kWarn = 1;

const std::string kDownload = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";
const std::wstring kDownloadHost = L"https://downloads.example/tool.exe";

struct ScanCall {
    std::wstring file_name;
    std::int32_t zone_id;
    std::wstring source;
    std::uint32_t value1, value2, value3;
};

// What the fake host and the fake sink saw. The handler calls them on the test's own thread.
struct Recorded {
    std::vector<std::int32_t> verdicts;
    HResult send_status = kSOk;
    std::vector<ScanCall> scans;
    std::vector<std::pair<std::wstring, std::int32_t>> results;
    std::vector<LogLine> log;
    std::vector<std::wstring> traces;
};
Recorded* g_recorded = nullptr;

HResult SendToFake(void* context, std::int32_t verdict) {
    auto& recorded = *static_cast<Recorded*>(context);
    recorded.verdicts.push_back(verdict);
    return recorded.send_status;
}

std::int32_t FakeScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    g_recorded->scans.push_back(
        {file_info.FileName, file_info.ZoneId, file_info.Source, value1, value2, file_info.Value3});
    return kHostVerdict;
}

void FakeResult(const wchar_t* path, std::int32_t verdict) { g_recorded->results.emplace_back(path, verdict); }
void FakeLog(std::uint32_t level, const wchar_t* text) { g_recorded->log.push_back({level, text}); }
void FakeTraceSink(const wchar_t* text) { g_recorded->traces.emplace_back(text); }

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_recorded = &recorded_;
        SetTraceSink(FakeTraceSink);
    }
    void TearDown() override {
        SetTraceSink(nullptr);
        g_recorded = nullptr;
    }

    HResult Handle(const std::wstring& file, HostCallbacks host = {FakeScan, FakeResult, FakeLog}) {
        const FileEvent event{file, kValue1, kValue2, kValue3};
        return HandleScanEvent(event, VerdictSink{&recorded_, SendToFake}, host);
    }

    std::vector<std::int32_t> Verdicts() const { return recorded_.verdicts; }
    static LogLine NewEvent(const std::wstring& file) { return {kInfo, L"NEW EVENT -----  for " + file}; }

    Recorded recorded_;
    TempFolder folder_;
};

TEST_F(HandlerTest, WithoutAScanCallbackOrANameNothingIsExamined) {
    const std::wstring file = folder_.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    EXPECT_EQ(Handle(file, {nullptr, FakeResult, FakeLog}), kEFail);
    EXPECT_EQ(Handle(L""), kEFail);

    EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kVerdictNoScan, kVerdictNoScan}));
    EXPECT_TRUE(recorded_.log.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
}

TEST_F(HandlerTest, FileWithoutOriginStreamsIsNotScanned) {
    const std::wstring file = folder_.File(L"local.txt");
    EXPECT_EQ(Handle(file), kSOk);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(recorded_.log,
              (std::vector<LogLine>{NewEvent(file), {kInfo, L"File has no Zone.Identifier nor SmartScan. " + file}}));
}

TEST_F(HandlerTest, FileOpenForWritingElsewhereCannotBeOpened) {
    const std::wstring file = folder_.File(L"busy.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    const UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_EQ(Handle(file), kEFail);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(recorded_.log,
              (std::vector<LogLine>{
                  NewEvent(file), {kInfo, file + L" Could not open file."}, {kWarn, L" Could not open file."}}));
}

TEST_F(HandlerTest, OldFileIsNotScannedNorRecorded) {
    const std::wstring file = folder_.File(L"old.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    AgeFile(file, std::chrono::hours(48));
    EXPECT_EQ(Handle(file), kSOk);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
    EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(file), {kInfo, file + L" file is old"}}));
}

TEST_F(HandlerTest, StoredCleanResultSparesTheScanAndIsLeftAlone) {
    const std::wstring file = folder_.File(L"clean.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    WriteStream(file, L"varnok", "ScanResult=2\r\n");
    EXPECT_EQ(Handle(file), kSOk);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), "ScanResult=2\r\n");
}

TEST_F(HandlerTest, SmartScreenWithoutARememberedHostHasNoOrigin) {
    const std::wstring file = folder_.File(L"nowhere.exe");
    WriteStream(file, L"SmartScreen", "Anaheim");
    EXPECT_EQ(Handle(file), kEFail);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoOrigin});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_TRUE(recorded_.results.empty());
}

TEST_F(HandlerTest, ScannedFileGetsTheHostsVerdictRecordedAndReported) {
    const std::wstring file = folder_.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    EXPECT_EQ(Handle(file), kSOk);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kHostVerdict});
    ASSERT_EQ(recorded_.scans.size(), 1u);
    const ScanCall& scan = recorded_.scans[0];
    EXPECT_EQ(scan.file_name, file);
    EXPECT_EQ(scan.zone_id, 3);
    EXPECT_EQ(scan.source, kDownloadHost);
    EXPECT_EQ(scan.value1, kValue1);
    EXPECT_EQ(scan.value2, kValue2);
    EXPECT_EQ(scan.value3, kValue3);
    EXPECT_EQ(recorded_.results, (std::vector<std::pair<std::wstring, std::int32_t>>{{file, kHostVerdict}}));
    const std::string path_bytes(file.begin(), file.end());
    EXPECT_EQ(ReadStream(file, L"varnok"),
              "HostUrl=https://downloads.example/tool.exe\r\nScanResult=-7\r\nFileName=" + path_bytes + "\r\n");
    EXPECT_EQ(recorded_.log, std::vector<LogLine>{NewEvent(file)});
    EXPECT_TRUE(recorded_.traces.empty());
}

// The result is recorded before the send, so a driver that is away still spares the next event a
// scan of a clean file; the host hears of the failure in its log, the developer in the trace.
TEST_F(HandlerTest, VerdictTheDriverDidNotTakeIsRecordedLoggedAndTraced) {
    const std::wstring file = folder_.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    recorded_.send_status = kSendRefused;
    EXPECT_EQ(Handle(file), kSendRefused);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kHostVerdict});
    EXPECT_TRUE(recorded_.results.empty());
    EXPECT_NE(ReadStream(file, L"varnok").value_or("").find("ScanResult=-7\r\n"), std::string::npos);
    EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(file), {kWarn, L"could not reach kernel driver"}}));
    ASSERT_EQ(recorded_.traces.size(), 1u);
    EXPECT_NE(recorded_.traces[0].find(L"0x80070006"), std::wstring::npos) << recorded_.traces[0];
}

// An origin stream held by a handle that shares nothing may say anything: the file is scanned as a
// download from an unknown host, or from the host remembered earlier. Wine shows that only on the
// ordinary file system (on the NTFS scratch volume the held stream keeps the file from opening).
TEST_F(HandlerTest, UnreadableOriginStreamForcesAScan) {
    const TempFolder ordinary(TempFolder::Volume::kOrdinary);
    struct Case {
        const wchar_t* stream;
        const char* remembered;
        const wchar_t* source;
        const wchar_t* warning;
    };
    int round = 0;
    for (const Case& held :
         {Case{L"Zone.Identifier", nullptr, L"unknown host", L"Unreadable Zone.Identifier - force scan."},
          Case{L"Zone.Identifier", "HostUrl=https://earlier.example/\r\n", L"https://earlier.example/",
               L"Unreadable Zone.Identifier - force scan."},
          Case{L"SmartScreen", nullptr, L"unknown host", L"Unreadable SmartScreen - force scan."}}) {
        recorded_ = Recorded{};
        const std::wstring file = ordinary.File(L"held" + std::to_wstring(round++) + L".exe");
        WriteStream(file, held.stream, std::wstring(held.stream) == L"SmartScreen" ? "Anaheim" : kDownload);
        if (held.remembered != nullptr) {
            WriteStream(file, L"varnok", held.remembered);
        }
        const UniqueHandle holder(
            ::CreateFileW((file + L":" + held.stream).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(Handle(file), kSOk);

        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kHostVerdict}) << held.stream;
        ASSERT_EQ(recorded_.scans.size(), 1u);
        EXPECT_EQ(recorded_.scans[0].zone_id, 3);
        EXPECT_EQ(recorded_.scans[0].source, held.source);
        EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(file), {kWarn, held.warning}}));
        // What the stream would have said is not known, so no host is recorded in its name.
        EXPECT_EQ(
            ReadStream(file, L"varnok").value_or("").rfind(held.remembered ? held.remembered : "ScanResult=-7", 0), 0u);
    }
}

// A host scan that throws breaks its contract; the event still gets exactly one verdict.
TEST_F(HandlerTest, ThrowingScanStillGetsOneVerdictAndATrace) {
    const std::wstring file = folder_.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    const ScanCallback throwing = [](FileInfo, std::uint32_t, std::uint32_t) -> std::int32_t { throw 1; };
    EXPECT_EQ(Handle(file, {throwing, FakeResult, FakeLog}), kEFail);

    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_EQ(recorded_.traces.size(), 1u);
}

}  // namespace
}  // namespace varnok::test
