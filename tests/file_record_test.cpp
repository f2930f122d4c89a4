// The file's "varnok" record and its origin streams under hostile or unusual conditions, through the
// library's exports: streams read only in part, files that a scan quarantines, origin streams that
// are there but can't be read.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/client_fixture.h"

namespace varnok::test {
namespace {

const std::string kDownload = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";
constexpr std::size_t kReadLimit = std::size_t{1} << 20;

// What the scan does to the file before it answers.
std::atomic<void (*)(const std::wstring&)> g_on_scan{nullptr};

std::int32_t ScanAndAct(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    if (const auto action = g_on_scan.load()) {
        action(file_info.FileName);
    }
    return RecordScan(file_info, value2, value1);
}

bool Exists(const std::wstring& name) { return ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Under Wine on a file system without streams, a stream is a file of its own beside its file, which
// a delete or move of the file leaves behind; NTFS takes the streams along. These do as NTFS does.
void DeleteWithStreams(const std::wstring& file) {
    EXPECT_TRUE(::DeleteFileW(file.c_str()));
    for (const wchar_t* stream : {L":varnok", L":Zone.Identifier"}) {
        if (Exists(file + stream)) {
            EXPECT_TRUE(::DeleteFileW((file + stream).c_str()));
        }
    }
}

std::wstring QuarantinedName(const std::wstring& file) { return file + L".quarantined"; }

void MoveWithStreams(const std::wstring& file) {
    const std::wstring target = QuarantinedName(file);
    EXPECT_TRUE(::MoveFileW(file.c_str(), target.c_str()));
    for (const wchar_t* stream : {L":varnok", L":Zone.Identifier"}) {
        if (Exists(file + stream)) {
            EXPECT_TRUE(::MoveFileW((file + stream).c_str(), (target + stream).c_str()));
        }
    }
}

class FileRecordTest : public SimulatedDriverTest {
protected:
    void SetUp() override {
        SimulatedDriverTest::SetUp();
        g_on_scan = nullptr;
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, ScanAndAct, RecordResult, RecordLog), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    }
    void TearDown() override {
        g_on_scan = nullptr;
        SimulatedDriverTest::TearDown();
    }

    std::int32_t Examine(const std::wstring& path) {
        const std::size_t before = VerdictCount();
        PostFileEvent(path, ++event_id_);
        EXPECT_TRUE(SimWaitForTraffic(0, static_cast<std::uint32_t>(before) + 2, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        return verdicts.empty() ? -1 : verdicts.back().Verdict;
    }

    std::uint64_t event_id_ = 0;
};

// A record longer than the read limit, or one with bytes after a byte 0x1A, is never written back
// (which would cut it), and the file is scanned each time.
TEST_F(FileRecordTest, RecordReadOnlyInPartKeepsItsTail) {
    const std::string tail = "ScanResult=7\r\nFileName=tail\r\n";
    const std::string long_record = "HostUrl=a\r\n" + std::string(kReadLimit + 200 * 1024, 'x') + "\r\n" + tail;
    const std::string cut_record = "HostUrl=a\r\n\x1A" + tail;
    for (const std::string& record : {long_record, cut_record}) {
        Host().Reset();
        const std::wstring file = folder.File(L"long" + std::to_wstring(event_id_) + L".exe");
        WriteStream(file, L"Zone.Identifier", kDownload);
        WriteStream(file, L"varnok", record);
        EXPECT_EQ(Examine(file), 1);
        EXPECT_EQ(Examine(file), 1);
        EXPECT_EQ(Host().Scans().size(), 2u);
        EXPECT_EQ(ReadStream(file, L"varnok"), record);
    }
}

// A line that the read limit runs through is not read: "ScanResult=21" cut after its "2" would
// otherwise spare the file its scan.
TEST_F(FileRecordTest, LineCutByTheReadLimitIsNotRead) {
    const std::wstring file = folder.File(L"cut.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    const std::string head = "HostUrl=https://x.example/";
    const std::string line = "ScanResult=2";
    std::string record = head + std::string(kReadLimit - head.size() - 2 - line.size(), 'p') + "\r\n" + line + "1\r\n";
    WriteStream(file, L"varnok", record);
    EXPECT_EQ(Examine(file), 1);
    EXPECT_EQ(Host().Scans().size(), 1u);
    EXPECT_EQ(ReadStream(file, L"varnok"), record);
}

// A scan that deletes or moves the file (a quarantine) leaves nothing under its old name.
TEST_F(FileRecordTest, QuarantinedFileStaysGone) {
    const std::wstring deleted = folder.File(L"deleted.exe");
    WriteStream(deleted, L"Zone.Identifier", kDownload);
    g_on_scan = DeleteWithStreams;
    EXPECT_EQ(Examine(deleted), 1);
    EXPECT_FALSE(Exists(deleted));
    EXPECT_FALSE(Exists(deleted + L":varnok"));

    const std::wstring moved = folder.File(L"moved.exe");
    WriteStream(moved, L"Zone.Identifier", kDownload);
    g_on_scan = MoveWithStreams;
    EXPECT_EQ(Examine(moved), 1);
    EXPECT_FALSE(Exists(moved));
    EXPECT_FALSE(Exists(moved + L":varnok"));
    // The quarantined file keeps what was recorded before its scan, and nothing else.
    EXPECT_EQ(ReadStream(QuarantinedName(moved), L"varnok"), "HostUrl=https://downloads.example/tool.exe\r\n");
}

// Under Wine on ntfs-3g a file and its streams count as one for sharing: an origin stream held by
// a handle that shares nothing keeps the file itself from opening, so nobody can read it to scan
// it, and the event ends as for any file that can't be opened.
TEST_F(FileRecordTest, StreamHeldWithoutSharingOnTheScratchVolumeEndsAsAnUnopenableFile) {
    if (!NtfsFolder()) {
        GTEST_SKIP() << "only the NTFS scratch volume shares a file's sharing with its streams";
    }
    const std::wstring file = folder.File(L"held.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    const HANDLE hHeld =
        ::CreateFileW((file + L":Zone.Identifier").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
    const std::int32_t verdict = Examine(file);
    ::CloseHandle(hHeld);

    EXPECT_EQ(verdict, 2);
    EXPECT_TRUE(Host().Scans().empty());
    EXPECT_EQ(Host().LogLines(), (std::vector<LogLine>{{0, L"NEW EVENT -----  for " + file},
                                                       {0, file + L" Could not open file."},
                                                       {1, L" Could not open file."}}));
}

}  // namespace
}  // namespace varnok::test
