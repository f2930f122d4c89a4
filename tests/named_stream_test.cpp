// A payload in a named stream of a download ("notes.txt:p.vbs", which the script host runs) is
// judged by its file: scanned under its own name with the file's zone and origin, never spared by the
// file's record, and leaving that record as it was. A stream of a file without a download origin, or
// of an old one, is not scanned, and neither is anything that reaches no stream that holds data.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "record_format.h"
#include "tests/support/handler_harness.h"
#include "verdicts.h"

namespace varnok::test {
namespace {

class NamedStreamTest : public HandlerTest {
protected:
    // A file with a script in its stream "p.vbs".
    std::wstring WithPayload(const std::wstring& file) const {
        WriteStream(file, L"p.vbs", "MsgBox \"hello\"\r\n");
        return file;
    }

    // Handles one event for the name and answers whether it was scanned, checking that a scan was
    // the host's, under the name as reported, with the file's zone and origin.
    bool Scanned(const std::wstring& reported, std::int32_t zone, const std::wstring& source) {
        Forget();
        Handle(reported);
        EXPECT_EQ(Verdicts().size(), 1u) << Narrow(reported);
        if (recorded_.scans.empty()) {
            return false;
        }
        const HandlerScanCall& scan = recorded_.scans.front();
        EXPECT_EQ(scan.file_name, reported);
        EXPECT_EQ(scan.zone_id, zone);
        EXPECT_EQ(scan.source, source);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{recorded_.scan_verdict});
        EXPECT_EQ(recorded_.results, (std::vector<std::pair<std::wstring, std::int32_t>>{{reported, recorded_.scan_verdict}}));
        EXPECT_EQ(recorded_.log, std::vector<LogLine>{NewEvent(reported)});
        return true;
    }
};

// The stream of a download, named with or without its type, is scanned with the zone and host of the
// file's Zone.Identifier; a stream of a file with only SmartScreen, with the host its record
// remembers. Nothing of either event reaches the file's record.
TEST_F(NamedStreamTest, StreamOfADownloadIsScannedUnderItsOwnNameWithItsFilesOrigin) {
    const std::wstring file = WithPayload(Download(L"notes.txt"));
    EXPECT_TRUE(Scanned(file + L":p.vbs", 3, kDownloadHost));
    EXPECT_TRUE(Scanned(file + L":p.vbs:$DATA", 3, kDownloadHost));
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);

    const std::wstring screened = WithPayload(folder_.File(L"screened.txt"));
    WriteStream(screened, L"SmartScreen", "Anaheim");
    const std::string remembered = "HostUrl=https://earlier.example/\r\n";
    WriteStream(screened, L"varnok", remembered);
    EXPECT_TRUE(Scanned(screened + L":p.vbs", 0, L"https://earlier.example/"));
    EXPECT_EQ(ReadStream(screened, L"varnok"), remembered);
}

// The file's own record of a clean scan, sealed for its data as it is, spares the file and never the
// stream; the stream's scan writes nothing into the record, not even the host of a Zone.Identifier
// that has changed since, nor its own clean result. Every event of the stream is scanned.
TEST_F(NamedStreamTest, FilesCleanRecordNeitherSparesNorTakesTheStreamsScan) {
    recorded_.scan_verdict = kVerdictNoScan;
    const std::wstring file = WithPayload(Download(L"clean.txt"));
    EXPECT_TRUE(Scanned(file, 3, kDownloadHost));
    EXPECT_FALSE(Scanned(file, 3, kDownloadHost));  // spared by its record
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://elsewhere.example/\r\n");
    const std::string record = ReadStream(file, L"varnok").value_or("");
    for (int event = 0; event < 2; ++event) {
        EXPECT_TRUE(Scanned(file + L":p.vbs", 3, L"https://elsewhere.example/"));
    }
    EXPECT_EQ(ReadStream(file, L"varnok"), record);
}

// A stream of a file that came from no download, and of a download older than a day, is not scanned:
// each gets the line and the verdict that its file would.
TEST_F(NamedStreamTest, StreamsOfLocalAndOldFilesAreNotScanned) {
    const std::wstring local = WithPayload(folder_.File(L"local.txt")) + L":p.vbs";
    Forget();
    EXPECT_EQ(Handle(local), kSOk);
    EXPECT_EQ(recorded_.log,
              (std::vector<LogLine>{NewEvent(local), {kInfo, L"File has no Zone.Identifier nor SmartScan. " + local}}));

    const std::wstring old_file = WithPayload(Download(L"old.txt"));
    AgeFile(old_file, std::chrono::hours(48));
    const std::wstring old_stream = old_file + L":p.vbs";
    Forget();
    EXPECT_EQ(Handle(old_stream), kSOk);
    EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(old_stream), {kInfo, old_stream + L" file is old"}}));
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(ReadStream(old_file, L"varnok"), std::nullopt);
}

// A stream that is there only by its name in the event, and a stream of the download's folder, reach
// no stream of the download: nothing is scanned in its place.
TEST_F(NamedStreamTest, NamesThatReachNoStreamOfTheDownloadScanNothingElse) {
    const std::wstring file = WithPayload(Download(L"tool.exe"));
    const std::wstring missing = file + L":absent.vbs";
    Forget();
    EXPECT_EQ(Handle(missing), kEFail);
    EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(missing),
                                                   {kInfo, missing + L" Could not open file."},
                                                   {kWarn, L" Could not open file."}}));
    EXPECT_TRUE(recorded_.scans.empty());

    const std::wstring of_folder = folder_.path.wstring() + L":p.vbs";
    Forget();
    EXPECT_EQ(Handle(of_folder), kSOk);
    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
}

}  // namespace
}  // namespace varnok::test
