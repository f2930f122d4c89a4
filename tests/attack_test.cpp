// Hostile names and files, through the exports as a host meets them.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "support/client_fixture.h"

namespace varnok::test {
namespace {

class AttackTest : public SimulatedDriverTest {
protected:
    static void Start(ScanCallback scan = RecordScan) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, scan, RecordResult, RecordLog), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));  // the configuration
    }

    static ScanCommand Examine(const std::wstring& path, std::uint64_t event_id) {
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, event_id);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        return verdicts.empty() ? ScanCommand{} : verdicts.back();
    }
};

// The driver reports whatever name the file was opened by. Line ends in it must not reach the
// host's log as lines of their own, such as a forged "connection to kernel driver restored".
TEST_F(AttackTest, AReportedNameWritesNoLineOfItsOwnIntoTheLog) {
    Start();
    const std::wstring name =
        (folder.path / L"a").wstring() + L"\r\nconnection to kernel driver restored\u2028\rScanResult=2.exe";
    const ScanCommand verdict = Examine(name, 5);
    EXPECT_EQ(verdict.Verdict, 2);
    ASSERT_TRUE(Host().WaitForLogLines(2));
    for (const LogLine& line : Host().LogLines()) {
        EXPECT_EQ(line.text.find_first_of(L"\r\n\u2028"), std::wstring::npos) << line.text.size();
    }
    EXPECT_EQ(Host().LogLines()[0].text, L"NEW EVENT -----  for " + (folder.path / L"a").wstring() +
                                             L"??connection to kernel driver restored??ScanResult=2.exe");
}

// A name that fills its whole array has no NUL: it ends with the array, and the bytes after it (the
// body's padding) are no part of it.
TEST_F(AttackTest, ANameFillingItsWholeArrayEndsWithIt) {
    Start();
    auto notification = std::make_unique<ScanNotification>(MakeFileEvent(std::wstring(), 7));
    std::fill_n(notification->FileName, kFileNameUnits, L'A');
    notification->Padding = 0x00420042;  // "BB", were it read as units of the name
    std::uint64_t message_id = 0;
    ASSERT_EQ(
        SimPostNotification(notification.get(), sizeof(ScanNotification), sizeof(ScanReply), &message_id, kWaitMs),
        S_OK);
    ASSERT_TRUE(SimWaitForTraffic(1, 2, kWaitMs));
    const std::vector<ScanCommand> verdicts = Verdicts();
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].EventId, 7u);
    EXPECT_EQ(verdicts[0].Verdict, 2);
    ASSERT_TRUE(Host().WaitForLogLines(1));
    EXPECT_EQ(Host().LogLines()[0].text, L"NEW EVENT -----  for " + std::wstring(kFileNameUnits, L'A'));
    EXPECT_TRUE(Host().Scans().empty());
}

// What the scan below leaves in place of the file it was given.
std::wstring g_replaced;

std::int32_t ReplaceByAFolder(FileInfo file_info, std::uint32_t, std::uint32_t) {
    const std::wstring file = file_info.FileName;
    // Where streams are files of their own, they go too, as they do with their file on NTFS.
    for (const wchar_t* stream : {L"", L":Zone.Identifier", L":varnok"}) {
        ::DeleteFileW((file + stream).c_str());
    }
    g_replaced = ::CreateDirectoryW(file.c_str(), nullptr) ? file : std::wstring();
    return 1;
}

// A scan that puts a folder in the file's place: the verdict still goes out, and the folder gets
// no stream of the library's.
TEST_F(AttackTest, AScanThatPutsAFolderInPlaceOfTheFileLeavesTheFolderAlone) {
    Start(ReplaceByAFolder);
    const std::wstring file = folder.File(L"setup.exe");
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://a.example/setup.exe\r\n");

    EXPECT_EQ(Examine(file, 6).Verdict, 1);
    ASSERT_TRUE(Host().WaitForResults(1));
    ASSERT_EQ(g_replaced, file);
    EXPECT_TRUE(std::filesystem::is_directory(file));
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
}

// Everything going wrong at once: refused replies, receives that fail for a while, a driver restart,
// and the host stopping in the middle of it. The stop returns, and a fresh start answers events.
TEST_F(AttackTest, StopInTheMiddleOfRefusalsFailuresAndARestartLeavesAFreshStartWorking) {
    for (int round = 0; round < 3; ++round) {
        Start();
        const std::wstring file = folder.File(L"plain" + std::to_wstring(round) + L".txt");
        SimRefuseReplies(kScanThreadCountForTests);
        for (std::uint64_t event_id = 1; event_id <= kScanThreadCountForTests; ++event_id) {
            PostFileEvent(file, event_id);
        }
        SimFailReceives(HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES), 5);
        SimDropConnection();
        EXPECT_EQ(SetDriverConfiguration(L"while away", 1, 2), 0);
        EXPECT_EQ(ClientDisconnect(), S_OK);
        EXPECT_FALSE(SimIsConnected());
        SimFailReceives(S_OK, 0);
        SimRefuseReplies(0);
        SimResetTraffic();
    }
    Start();
    const std::wstring file = folder.File(L"plain.txt");
    EXPECT_EQ(Examine(file, 77).Verdict, 2);
    EXPECT_EQ(Verdicts().size(), 1u);
}

}  // namespace
}  // namespace varnok::test
