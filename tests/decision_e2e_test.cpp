// The decision for one file as a host meets it, through the real exports of varnokclient.dll and
// the driver simulator: streams as real writers leave them, streams crafted by whoever publishes a
// download, names of streams, and a failing logger.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "stream_text.h"
#include "support/client_fixture.h"

namespace varnok::test {
namespace {

using namespace std::chrono_literals;

class DecisionTest : public SimulatedDriverTest {
protected:
    static void Start(ScanCallback scan = RecordScan, LogCallback log = RecordLog) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, scan, RecordResult, log), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));  // the configuration
    }

    // Sends one file event and returns its verdict.
    std::int32_t Examine(const std::wstring& path) {
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, ++event_id_);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        EXPECT_FALSE(verdicts.empty());
        EXPECT_EQ(verdicts.empty() ? 0 : verdicts.back().EventId, event_id_);
        return verdicts.empty() ? -1 : verdicts.back().Verdict;
    }

    // Stops the library, so that every line and result of the events sent has arrived.
    static void Finish() { ASSERT_EQ(ClientDisconnect(), S_OK); }

    static std::wstring NewEvent(const std::wstring& path) { return L"NEW EVENT -----  for " + path; }

    // "varnok" as a scan leaves it on a file without an earlier record (the test paths are ASCII).
    static std::string Record(const std::wstring& host, std::int32_t result, const std::wstring& path) {
        return "HostUrl=" + Narrow(host) + "\r\nScanResult=" + std::to_string(result) + "\r\nFileName=" + Narrow(path) +
               "\r\n";
    }
    static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

private:
    std::uint64_t event_id_ = 0;
};

// ---- Keys inside a line steer nothing ----------------------------------------------------------------

// The download's URL ends in the stored result's key and its name carries a clean result: the
// result is recorded on a line of its own, and the name does not pass for it.
TEST_F(DecisionTest, DownloadNamedLikeAStoredResultIsScannedEveryTime) {
    Start();
    const std::wstring file = folder.File(L"ScanResult=2.exe");
    const std::wstring url = L"https://downloads.example/get?ScanResult=";
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + Narrow(url) + "\r\n");
    EXPECT_EQ(Examine(file), 1);
    EXPECT_EQ(ReadStream(file, L"varnok"), Record(url, 1, file));
    EXPECT_EQ(Examine(file), 1);
    EXPECT_EQ(Host().Scans().size(), 2u);
    EXPECT_EQ(ReadStream(file, L"varnok"), Record(url, 1, file));
}

// A result inside the stored URL is neither rewritten by recording one nor read as one when none
// was recorded (the scan threw).
TEST_F(DecisionTest, ResultInsideTheUrlIsNeitherRewrittenNorRead) {
    Start();
    const std::wstring file = folder.File(L"tool.exe");
    const std::wstring url = L"https://downloads.example/get?ScanResult=2&name=tool.exe";
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + Narrow(url) + "\r\n");
    Host().throw_from_scan = true;
    EXPECT_EQ(Examine(file), 2);
    EXPECT_EQ(ReadStream(file, L"varnok"), "HostUrl=" + Narrow(url) + "\r\n");

    Host().throw_from_scan = false;
    Host().default_verdict = 5;
    EXPECT_EQ(Examine(file), 5);
    ASSERT_EQ(Host().Scans().size(), 1u);
    EXPECT_EQ(Host().Scans()[0].source, url);
    EXPECT_EQ(ReadStream(file, L"varnok"), Record(url, 5, file));
}

// A referrer, written before the host, carrying a trusted-looking host in its query.
TEST_F(DecisionTest, HostInsideTheReferrerIsNotTheOrigin) {
    Start();
    const std::string referrer = "https://www.evil.com/?HostUrl=https://trusted.example/";
    const std::wstring with_host = folder.File(L"with-host.exe");
    WriteStream(
        with_host, L"Zone.Identifier",
        "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + "\r\nHostUrl=https://evil.example/payload.exe\r\n");
    const std::wstring referrer_only = folder.File(L"referrer-only.exe");
    WriteStream(referrer_only, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + "\r\n");
    Examine(with_host);
    Examine(referrer_only);
    const std::vector<ScanCall> scans = Host().Scans();
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[0].source, L"https://evil.example/payload.exe");
    EXPECT_EQ(scans[1].source, std::wstring(referrer.begin(), referrer.end()));  // the whole referrer
    EXPECT_EQ(ReadStream(with_host, L"varnok"), Record(L"https://evil.example/payload.exe", 1, with_host));
}

// ---- Zone.Identifier as writers leave it ---------------------------------------------------------------

TEST_F(DecisionTest, ZoneIdentifierOfRealWriters) {
    struct Form {
        const wchar_t* name;
        std::string zone_identifier;
        std::int32_t zone;
        std::wstring source;
        bool malformed = false;
    };
    const std::string kStoreApp = "LastWriterPackageFamilyName=Microsoft.WindowsStore_8wekyb3d8bbwe\r\n";
    const Form forms[] = {
        // A browser: zone, referring page and host in that order; the host wins over the page.
        {L"browser",
         "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://www.example.com/downloads\r\n"
         "HostUrl=https://dl.example.com/files/setup.exe\r\n",
         3, L"https://dl.example.com/files/setup.exe"},
        // The browser's stand-in for a source it does not name: the host as written.
        {L"about-internet", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=about:internet\r\n", 3, L"about:internet"},
        // A store app's writer before the zone, and its app zone, which is no ZoneId.
        {L"store-app", "[ZoneTransfer]\r\n" + kStoreApp + "AppZoneId=4\r\nZoneId=3\r\n", 3, L"unknown host"},
        {L"store-app-after",
         "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://cdn.example.net/app.msix\r\n" + kStoreApp + "AppZoneId=4\r\n",
         3, L"https://cdn.example.net/app.msix"},
        {L"app-zone-only", "[ZoneTransfer]\r\n" + kStoreApp + "AppZoneId=4\r\n", 3, L"unknown host", true},
        {L"host-ip",
         "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://www.example.org/\r\n"
         "HostUrl=https://files.example.org/a.zip\r\nHostIpAddress=203.0.113.7\r\n",
         3, L"https://files.example.org/a.zip"},
        // Extracted from an archive: the referrer is the archive's local path, which is no URL.
        {L"zip-extraction", "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=C:\\Users\\alice\\Downloads\\tools.zip\r\n", 3,
         L"unknown host"},
        {L"host-blank-line", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.net/a.exe\r\n\r\n", 3,
         L"https://example.net/a.exe"},
        {L"lf-only", "[ZoneTransfer]\nZoneId=3\nHostUrl=https://example.net/b.exe\n", 3, L"https://example.net/b.exe"},
        {L"minimum", "[ZoneTransfer]\r\nZoneId=3\r\n", 3, L"unknown host"},
        {L"minimum-unended", "[ZoneTransfer]\r\nZoneId=3", 3, L"unknown host"},
        {L"intranet", "[ZoneTransfer]\r\nZoneId=2\r\n", 2, L"unknown host"},
    };
    Start();
    for (const Form& form : forms) {
        SCOPED_TRACE(testing::Message() << form.zone_identifier);
        Host().Reset();
        const std::wstring file = folder.File(std::wstring(form.name) + L".exe");
        WriteStream(file, L"Zone.Identifier", form.zone_identifier);
        EXPECT_EQ(Examine(file), 1);
        const std::vector<ScanCall> scans = Host().Scans();
        ASSERT_EQ(scans.size(), 1u);
        EXPECT_EQ(scans[0].zone_id, form.zone);
        EXPECT_EQ(scans[0].source, form.source);
        EXPECT_EQ(ReadStream(file, L"varnok"), Record(form.source, 1, file));
        std::vector<LogLine> lines{{0, NewEvent(file)}};
        if (form.malformed) {
            lines.push_back({1, L"Malformed Zone.Identifier - force scan."});
        }
        EXPECT_EQ(Host().LogLines(), lines);
    }
}

// ---- What an event writes ------------------------------------------------------------------------------

TEST_F(DecisionTest, HostFromZoneIdentifierReplacesTheRememberedOneInPlace) {
    Start();
    const std::wstring file = folder.File(L"moved.exe");
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://new.example/a.exe\r\n");
    WriteStream(file, L"varnok", "HostUrl=https://old.example/a.exe\r\nScanResult=4\r\nFileName=old\r\nNote=kept\r\n");
    Host().default_verdict = 6;
    EXPECT_EQ(Examine(file), 6);
    EXPECT_EQ(Host().Scans().at(0).source, L"https://new.example/a.exe");
    EXPECT_EQ(ReadStream(file, L"varnok"),
              "HostUrl=https://new.example/a.exe\r\nScanResult=6\r\nFileName=" + Narrow(file) + "\r\nNote=kept\r\n");
}

// A record that would grow past what is read back of a stream is not changed; the scan, its
// verdict and its report go on, and a result that could not be recorded is scanned for again.
TEST_F(DecisionTest, RecordNeverOutgrowsTheReadLimit) {
    Start();
    const std::wstring repeated = folder.File(L"repeated.exe");
    const std::wstring long_url = L"https://downloads.example/" + std::wstring(2000, L'p');
    WriteStream(repeated, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + Narrow(long_url) + "\r\n");
    std::string lines;
    for (int i = 0; i < 90000; ++i) {
        lines += "HostUrl=x\r\n";
    }
    WriteStream(repeated, L"varnok", lines);
    EXPECT_EQ(Examine(repeated), 1);
    EXPECT_EQ(Host().Scans().at(0).source, long_url);
    EXPECT_EQ(ReadStream(repeated, L"varnok"), lines + "ScanResult=1\r\nFileName=" + Narrow(repeated) + "\r\n");

    // A record one line short of the limit takes no result.
    Host().Reset();
    Host().default_verdict = 2;
    const std::wstring full = folder.File(L"full.exe");
    WriteStream(full, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/\r\n");
    std::string record = "HostUrl=https://downloads.example/\r\nNote=";
    record += std::string(kStreamReadLimit - record.size() - 10, 'n') + "\r\n";
    WriteStream(full, L"varnok", record);
    EXPECT_EQ(Examine(full), 2);
    ASSERT_TRUE(Host().WaitForResults(1));
    EXPECT_EQ(Host().Results().at(0).verdict, 2);
    EXPECT_EQ(ReadStream(full, L"varnok"), record);
    EXPECT_EQ(Examine(full), 2);
    EXPECT_EQ(Host().Scans().size(), 2u);
}

// ---- Names of streams --------------------------------------------------------------------------------

// The default stream of a file is the file: its streams and age are read through the file's name,
// while the host and the record get the name as reported.
TEST_F(DecisionTest, DefaultStreamNameIsDecidedAsItsFile) {
    Start();
    const std::wstring file = folder.File(L"tool.exe");
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/t.exe\r\n");
    for (const std::wstring& reported : {file + L"::$DATA", file + L"::$data"}) {
        Host().Reset();
        EXPECT_EQ(Examine(reported), 1);
        const std::vector<ScanCall> scans = Host().Scans();
        ASSERT_EQ(scans.size(), 1u);
        EXPECT_EQ(scans[0].file_name, reported);
        EXPECT_EQ(scans[0].source, L"https://downloads.example/t.exe");
        ASSERT_TRUE(Host().WaitForResults(1));
        EXPECT_EQ(Host().Results().at(0).path, reported);
        EXPECT_EQ(Host().LogLines(), (std::vector<LogLine>{{0, NewEvent(reported)}}));
        EXPECT_EQ(ReadStream(file, L"varnok"), Record(L"https://downloads.example/t.exe", 1, reported));
        EXPECT_EQ(ReadStream(reported, L"varnok"), std::nullopt);
    }
    AgeFile(file, 2 * 24h);
    EXPECT_EQ(Examine(file + L"::$DATA"), 2);
    EXPECT_EQ(Host().LogLines().back().text, file + L"::$DATA file is old");
}

// What is written to another stream of a file is neither scanned nor recorded in the place of the
// file: such a name has no origin streams of its own.
TEST_F(DecisionTest, OtherStreamNameHasNoOriginStreams) {
    Start();
    const std::wstring file = folder.File(L"tool.exe");
    const std::string download = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/t.exe\r\n";
    WriteStream(file, L"Zone.Identifier", download);
    WriteStream(file, L"payload", "MZ");
    // Where names of streams are files of their own (Wine on a Unix file system), this one reads
    // as an origin stream of the stream; NTFS refuses the name.
    const HANDLE hDecoy = ::CreateFileW((file + L":payload:Zone.Identifier").c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, 0, nullptr);
    if (hDecoy != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(hDecoy, download.data(), static_cast<DWORD>(download.size()), &written, nullptr);
        ::CloseHandle(hDecoy);
    }
    for (const std::wstring& reported : {file + L":payload", file + L":payload:$DATA", file + L":Zone.Identifier"}) {
        Host().Reset();
        EXPECT_EQ(Examine(reported), 2);
        ASSERT_TRUE(Host().WaitForLogLines(2));
        EXPECT_EQ(Host().LogLines(),
                  (std::vector<LogLine>{{0, NewEvent(reported)},
                                        {0, L"File has no Zone.Identifier nor SmartScan. " + reported}}));
    }
    EXPECT_TRUE(Host().Scans().empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
    EXPECT_EQ(ReadStream(file + L":payload", L"varnok"), std::nullopt);
    EXPECT_EQ(ReadStream(file, L"Zone.Identifier"), download);
}

// ---- Callbacks ---------------------------------------------------------------------------------------

std::atomic<int> g_failed_log_lines{0};

void FailingLog(std::uint32_t, const wchar_t*) {
    ++g_failed_log_lines;
    throw std::runtime_error("log disk full");
}

// A logger that throws loses its own lines and nothing else.
TEST_F(DecisionTest, ThrowingLoggerLosesOnlyItsLines) {
    g_failed_log_lines = 0;
    Start(RecordScan, FailingLog);
    const std::wstring download = folder.File(L"download.exe");
    WriteStream(download, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/\r\n");
    const std::wstring malformed = folder.File(L"malformed.exe");
    WriteStream(malformed, L"Zone.Identifier", "[ZoneTransfer]\r\n");
    EXPECT_EQ(Examine(download), 1);
    EXPECT_EQ(Examine(malformed), 1);
    EXPECT_EQ(Examine(folder.File(L"local.txt")), 2);
    Finish();

    const std::vector<ScanCall> scans = Host().Scans();
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[1].zone_id, 3);
    EXPECT_EQ(Host().Results().size(), 2u);
    EXPECT_EQ(ReadStream(download, L"varnok"), Record(L"https://downloads.example/", 1, download));
    EXPECT_EQ(ReadStream(malformed, L"varnok"), Record(L"unknown host", 1, malformed));
    EXPECT_EQ(VerdictCount(), 3u);
    EXPECT_EQ(g_failed_log_lines, 5);  // three events, one malformed stream, one file without origin
}

}  // namespace
}  // namespace varnok::test
