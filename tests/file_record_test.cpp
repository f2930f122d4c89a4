// The file's "varnok" record and its origin streams under hostile or unusual conditions, through the
// library's exports: streams read only in part, files that a scan quarantines, origin streams that
// are there but can't be read.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/client_fixture.h"

namespace varnok::test {
namespace {

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

// Deletes or moves the file as NTFS does, streams included: under Wine off NTFS a stream is a file
// of its own beside its file.
void RemoveWithStreams(const std::wstring& file, const wchar_t* target_suffix) {
    for (const wchar_t* part : {L"", L":varnok", L":Zone.Identifier"}) {
        const std::wstring name = file + part;
        if (*part == 0 || Exists(name)) {
            EXPECT_TRUE(target_suffix ? ::MoveFileW(name.c_str(), (file + target_suffix + part).c_str())
                                      : ::DeleteFileW(name.c_str()));
        }
    }
}

class FileRecordTest : public SimulatedDriverTest {
protected:
    void SetUp() override {
        SimulatedDriverTest::SetUp();
        g_on_scan = nullptr;
        StartClient(ScanAndAct);
    }
    void TearDown() override {
        g_on_scan = nullptr;
        SimulatedDriverTest::TearDown();
    }
};

// A record read only in part (longer than the read limit, or bytes after a byte 0x1A) is never
// written back, which would cut it; and a line the limit runs through is not read, or
// "ScanResult=21" cut after its "2" would spare the file its scan.
TEST_F(FileRecordTest, RecordReadOnlyInPartIsNeverWrittenNorReadPastTheLimit) {
    const std::string tail = "ScanResult=7\r\nFileName=tail\r\n";
    const std::string head = "HostUrl=https://x.example/";
    const std::string records[] = {
        "HostUrl=a\r\n" + std::string(kReadLimit + 200 * 1024, 'x') + "\r\n" + tail,
        "HostUrl=a\r\n\x1A" + tail,
        head + std::string(kReadLimit - head.size() - 14, 'p') + "\r\nScanResult=21\r\n",
    };
    for (const std::string& record : records) {
        Host().Reset();
        const std::wstring file = Download(L"partial" + std::to_wstring(next_event_id) + L".exe");
        WriteStream(file, L"varnok", record);
        EXPECT_EQ(ExamineFile(file), 1);
        EXPECT_EQ(ExamineFile(file), 1);
        EXPECT_EQ(Host().Scans().size(), 2u);
        EXPECT_EQ(ReadStream(file, L"varnok"), record);
    }
}

// A scan that deletes or moves the file (a quarantine) leaves nothing under its old name; the
// moved file keeps what was recorded before its scan, and nothing else.
TEST_F(FileRecordTest, QuarantinedFileStaysGone) {
    for (const wchar_t* moved_to : {static_cast<const wchar_t*>(nullptr), L".quarantined"}) {
        const std::wstring file = Download(moved_to ? L"moved.exe" : L"deleted.exe");
        if (moved_to) {
            g_on_scan = [](const std::wstring& name) { RemoveWithStreams(name, L".quarantined"); };
        } else {
            g_on_scan = [](const std::wstring& name) { RemoveWithStreams(name, nullptr); };
        }
        EXPECT_EQ(ExamineFile(file), 1);
        EXPECT_FALSE(Exists(file));
        EXPECT_FALSE(Exists(file + L":varnok"));
        if (moved_to) {
            EXPECT_EQ(ReadStream(file + moved_to, L"varnok"), "HostUrl=https://downloads.example/tool.exe\r\n");
        }
    }
}

}  // namespace
}  // namespace varnok::test
