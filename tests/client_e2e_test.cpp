// The library as a host sees it: the real exports of varnokclient.dll against the driver simulator.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/client_fixture.h"

namespace varnok::test {
namespace {

using namespace std::chrono_literals;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

class ClientTest : public SimulatedDriverTest {
protected:
    static void Start(ScanCallback scan = RecordScan, ScanResultCallback result = RecordResult,
                      LogCallback log = RecordLog) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, scan, result, log), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));  // the configuration
    }

    // Waits for `count` verdicts beyond the configuration sent by FilterInit.
    static void WaitForVerdicts(std::uint32_t count) { ASSERT_TRUE(SimWaitForTraffic(0, 1 + count, kWaitMs)); }

    // Sends one file event and returns its verdict command.
    ScanCommand Examine(const std::wstring& path, std::uint64_t event_id = 41) {
        const std::size_t before = VerdictCount();
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, event_id);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        EXPECT_EQ(verdicts.size(), before + 1);
        return verdicts.empty() ? ScanCommand{} : verdicts.back();
    }

    static std::wstring NewEvent(const std::wstring& path) { return L"NEW EVENT -----  for " + path; }
};

const std::string kDownload = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";

// ---- The decision, exit by exit ----------------------------------------------------------------------

TEST_F(ClientTest, ScannedDownloadIsRecordedAndReported) {
    Start();
    const std::wstring file = folder.File(L"tool.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    Host().default_verdict = -7;

    const ScanCommand verdict = Examine(file, 0x1122334455667788ULL);
    EXPECT_EQ(verdict.Verdict, -7);
    EXPECT_EQ(verdict.EventId, 0x1122334455667788ULL);

    const std::vector<ScanCall> scans = Host().Scans();
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].file_name, file);
    EXPECT_EQ(scans[0].zone_id, 3);
    EXPECT_EQ(scans[0].source, L"https://downloads.example/tool.exe");
    EXPECT_EQ(scans[0].value3, kEventValue3);
    EXPECT_EQ(scans[0].value2, kEventValue2);
    EXPECT_EQ(scans[0].value1, kEventValue1);
    EXPECT_EQ(scans[0].reserved, 0u);

    ASSERT_TRUE(Host().WaitForResults(1));
    const std::string path_bytes(file.begin(), file.end());
    EXPECT_EQ(ReadStream(file, L"varnok"),
              "HostUrl=https://downloads.example/tool.exe\r\nScanResult=-7\r\nFileName=" + path_bytes + "\r\n");
    const std::vector<ResultCall> results = Host().Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].path, file);
    EXPECT_EQ(results[0].verdict, -7);
    EXPECT_EQ(Host().LogLines(), (std::vector<LogLine>{{0, NewEvent(file)}}));
}

TEST_F(ClientTest, CleanScanResultSparesTheNextEvent) {
    Start();
    const std::wstring file = folder.File(L"fresh.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    Host().default_verdict = 2;
    EXPECT_EQ(Examine(file, 1).Verdict, 2);
    EXPECT_EQ(Examine(file, 2).Verdict, 2);
    EXPECT_EQ(Host().Scans().size(), 1u);
}

TEST_F(ClientTest, ReferrerStandsInForAMissingHost) {
    Start();
    const std::wstring file = folder.File(L"referred.exe");
    WriteStream(file, L"Zone.Identifier", "ZoneId=3\r\nReferrerUrl=https://www.example.org/downloads?id=4\r\n");
    Examine(file);
    const std::vector<ScanCall> scans = Host().Scans();
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].source, L"https://www.example.org/downloads?id=4");
}

TEST_F(ClientTest, ThrowingScanCallbackStillGetsOneVerdictAndTheWorkerGoesOn) {
    Start();
    const std::wstring file = folder.File(L"throws.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    Host().throw_from_scan = true;
    EXPECT_EQ(Examine(file, 1).Verdict, 2);
    EXPECT_EQ(ReadStream(file, L"varnok"), "HostUrl=https://downloads.example/tool.exe\r\n");

    Host().throw_from_scan = false;
    for (std::uint64_t event_id = 2; event_id < 2 + 2 * kScanThreadCountForTests; ++event_id) {
        EXPECT_EQ(Examine(file, event_id).Verdict, 1);
    }
}

// ---- The pool and the port ---------------------------------------------------------------------------

TEST_F(ClientTest, EveryFileEventIsAcknowledgedBeforeItsVerdict) {
    Start();
    const std::wstring file = folder.File(L"plain.txt");
    const std::uint64_t message_id = PostFileEvent(file, 77);
    WaitForVerdicts(1);
    const std::vector<SimTraffic> replies = Traffic(SIM_TRAFFIC_REPLY);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].Length, 20u);
    EXPECT_EQ(replies[0].Result, S_OK);
    const ScanReply reply = AsReply(replies[0]);
    EXPECT_EQ(reply.MessageId, message_id);
    EXPECT_EQ(reply.Status, 0);
    EXPECT_EQ(reply.ThreadId, Verdicts().at(0).ThreadId);
    EXPECT_NE(reply.ThreadId, 77u);
}

TEST_F(ClientTest, OtherKindsGetNoReplyNoCallbackAndNoCommand) {
    Start();
    const std::wstring file = folder.File(L"kinds.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    for (std::uint32_t kind : {1u, 2u, 0xFFFFFFFFu}) {
        const ScanNotification notification = MakeFileEvent(file, 500 + kind, kind);
        ASSERT_EQ(SimPostNotification(&notification, sizeof(notification), 0, nullptr, kWaitMs), S_OK);
    }
    EXPECT_EQ(Examine(file, 9).EventId, 9u);  // handled after the others went by
    EXPECT_EQ(SimTrafficCount(SIM_TRAFFIC_REPLY), 1u);
    EXPECT_EQ(VerdictCount(), 1u);
    EXPECT_EQ(Host().Scans().size(), 1u);
}

TEST_F(ClientTest, RefusedReplyEndsOnlyItsEvent) {
    Start();
    const std::wstring file = folder.File(L"plain.txt");
    SimRefuseReplies(1);
    PostFileEvent(file, 1);
    ASSERT_TRUE(SimWaitForTraffic(1, 1, kWaitMs));
    for (std::uint64_t event_id = 2; event_id <= 40; ++event_id) {
        PostFileEvent(file, event_id);
    }
    WaitForVerdicts(39);
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_NE(verdict.EventId, 1u);
    }
}

TEST_F(ClientTest, WithoutCallbacksEveryEventPassesAndNothingIsLogged) {
    Start();
    ASSERT_EQ(ClientDisconnect(), S_OK);
    SimResetTraffic();
    Start(nullptr, nullptr, nullptr);
    const std::wstring file = folder.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    EXPECT_EQ(Examine(file, 1).Verdict, 2);
    EXPECT_EQ(Examine(file, 2).Verdict, 2);
    EXPECT_TRUE(Host().LogLines().empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
}

TEST_F(ClientTest, ReceivesAnsweredAtOnceStillComplete) {
    SimImmediateReceives(1000);
    Start();
    const std::wstring file = folder.File(L"plain.txt");
    for (std::uint64_t event_id = 1; event_id <= 60; ++event_id) {
        PostFileEvent(file, event_id);
    }
    WaitForVerdicts(60);
    SimImmediateReceives(0);
    EXPECT_EQ(ClientDisconnect(), S_OK);
}

// ---- The lifecycle ---------------------------------------------------------------------------------

TEST_F(ClientTest, RefusedConfigurationDoesNotStopTheStart) {
    SimFailCommands(E_ACCESSDENIED, 1);
    const DriverConfig config = MakeConfig(L"refused", 1, 2);
    ASSERT_EQ(FilterInit(&config, RecordScan, RecordResult, RecordLog), S_OK);
    EXPECT_EQ(Examine(folder.File(L"plain.txt")).Verdict, 2);
    EXPECT_EQ(AsCommand(Traffic(SIM_TRAFFIC_COMMAND).at(0)).Command, static_cast<std::uint32_t>(CommandConfiguration));
    EXPECT_EQ(SetDriverConfiguration(L"accepted", 3, 4), 1);
    const ScanCommand sent = AsCommand(Traffic(SIM_TRAFFIC_COMMAND).back());
    EXPECT_EQ(std::wstring(sent.ConfigText), L"accepted");
    EXPECT_EQ(sent.ConfigValue1, 3u);
    EXPECT_EQ(sent.ConfigValue2, 4u);
}

TEST_F(ClientTest, StartWithoutDriverFailsAndLeavesNothingToStop) {
    SimClosePort();
    const DriverConfig config = MakeConfig();
    EXPECT_EQ(FilterInit(&config, RecordScan, RecordResult, RecordLog), kNotFound);
    EXPECT_EQ(ClientDisconnect(), E_POINTER);
    EXPECT_EQ(SetDriverConfiguration(L"x", 0, 0), 0);

    SimFailConnect(E_ACCESSDENIED, 1);
    ASSERT_EQ(SimCreatePort(), S_OK);
    EXPECT_EQ(FilterInit(&config, RecordScan, RecordResult, RecordLog), E_ACCESSDENIED);
    EXPECT_EQ(ClientDisconnect(), E_POINTER);
}

TEST_F(ClientTest, DisconnectTwiceAndStartAgain) {
    Start();
    EXPECT_EQ(ClientDisconnect(), S_OK);
    EXPECT_EQ(ClientDisconnect(), E_POINTER);
    Start();
    EXPECT_EQ(Examine(folder.File(L"plain.txt")).Verdict, 2);
    EXPECT_EQ(ClientDisconnect(), S_OK);
}

TEST_F(ClientTest, SecondStartIsRefusedAndTheRunningClientKeepsWorking) {
    Start();
    const DriverConfig config = MakeConfig();
    EXPECT_EQ(FilterInit(&config, nullptr, nullptr, nullptr), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    const std::wstring file = folder.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    EXPECT_EQ(Examine(file).Verdict, 1);  // the first start's callbacks are still in place
    EXPECT_EQ(SimConnectionCount(), 1u);
}

TEST_F(ClientTest, VersionIsOneTextAtOneAddress) {
    const HMODULE hLibrary = ::GetModuleHandleW(L"varnokclient.dll");
    ASSERT_NE(hLibrary, nullptr);
    const auto get_version =
        reinterpret_cast<VarnokGetVersionFn>(reinterpret_cast<void*>(::GetProcAddress(hLibrary, "GetVersion")));
    ASSERT_NE(get_version, nullptr);
    const char* const before = get_version();
    EXPECT_STREQ(before, "2.0.0.135");
    Start();
    EXPECT_EQ(get_version(), before);
    ClientDisconnect();
    EXPECT_EQ(get_version(), before);
}

TEST(ClientLibrary, CarriesVersion2_0_0_135) {
    wchar_t path[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(::GetModuleHandleW(L"varnokclient.dll"), path, MAX_PATH), 0u);
    std::vector<std::byte> block(::GetFileVersionInfoSizeW(path, nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(::GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()));

    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&pFixed), &size));
    EXPECT_EQ(pFixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(pFixed->dwFileVersionLS, 0x00000087u);
    EXPECT_EQ(pFixed->dwProductVersionMS, 0x00020000u);
    EXPECT_EQ(pFixed->dwProductVersionLS, 0x00000087u);
    for (const wchar_t* key :
         {L"\\StringFileInfo\\040904B0\\FileVersion", L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
        wchar_t* pText = nullptr;
        ASSERT_TRUE(::VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&pText), &size)) << key;
        EXPECT_EQ(std::wstring(pText), L"2.0.0.135");
    }
}

TEST_F(ClientTest, DeleteFileWorksWithoutAConnection) {
    const std::wstring file = folder.File(L"delete-me.txt");
    EXPECT_NE(VarnokDeleteFile(file.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(VarnokDeleteFile(file.c_str()), 0);
}

}  // namespace
}  // namespace varnok::test
