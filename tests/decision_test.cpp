// The handler of one file event on its own: each way out of the decision, streams as real writers
// and hostile publishers leave them, names of streams and records at the read limit, against a fake
// verdict sink and fake host callbacks, on files in the tests' scratch folder. Neither the DLL, nor
// the port, nor the driver simulator takes part.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "stream_text.h"
#include "tests/support/handler_harness.h"
#include "unique_handle.h"
#include "verdicts.h"

namespace varnok::test {
namespace {

TEST_F(HandlerTest, WithoutAScanCallbackOrANameNothingIsExamined) {
    const std::wstring file = Download(L"download.exe");
    EXPECT_EQ(Handle(file, {nullptr, FakeResult, FakeLog}), kEFail);
    EXPECT_EQ(Handle(L""), kEFail);

    EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kVerdictNoScan, kVerdictNoScan}));
    EXPECT_TRUE(recorded_.log.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
}

// A file without origin streams, and the streams that the browser and the library keep beside a
// download, in any case: none is scanned nor recorded. Line ends in a name reach the host's log as
// '?', never as lines of their own (here a forged "connection restored").
TEST_F(HandlerTest, NamesWithoutOriginStreamsAreNotScanned) {
    const std::wstring file = Download(L"tool.exe");
    const std::wstring local = folder_.File(L"local.txt");
    const std::wstring forged =
        (folder_.path / L"a").wstring() + L"\r\nconnection to kernel driver restored\u2028\r.exe";
    const std::pair<std::wstring, std::wstring> names[] = {
        {local, local},
        {file + L":Zone.Identifier", file + L":Zone.Identifier"},
        {file + L":zone.IDENTIFIER:$DATA", file + L":zone.IDENTIFIER:$DATA"},
        {file + L":SMARTSCREEN", file + L":SMARTSCREEN"},
        {file + L":Varnok", file + L":Varnok"},
        {file + L":a:b:$DATA", file + L":a:b:$DATA"},
        {forged, (folder_.path / L"a").wstring() + L"??connection to kernel driver restored??.exe"}};
    for (const auto& [reported, shown] : names) {
        Forget();
        EXPECT_EQ(Handle(reported), kSOk);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
        EXPECT_EQ(
            recorded_.log,
            (std::vector<LogLine>{NewEvent(shown), {kInfo, L"File has no Zone.Identifier nor SmartScan. " + shown}}));
    }
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
    EXPECT_EQ(ReadStream(file, L"Zone.Identifier"), kDownloadZone);
}

TEST_F(HandlerTest, FileOpenForWritingElsewhereCannotBeOpened) {
    const std::wstring file = Download(L"busy.exe");
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

// Also under a name of the file's default stream, whose age is its file's.
TEST_F(HandlerTest, OldFileIsNotScannedNorRecorded) {
    const std::wstring file = Download(L"old.exe");
    AgeFile(file, std::chrono::hours(48));
    for (const std::wstring& reported : {file, file + L"::$DATA"}) {
        Forget();
        EXPECT_EQ(Handle(reported), kSOk);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
        EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(reported), {kInfo, reported + L" file is old"}}));
    }
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
}

// The result is recorded before the send: a clean one spares later events their scan, also when the
// driver did not take its verdict; the host hears of that in its log, the developer in the trace.
TEST_F(HandlerTest, CleanResultIsRecordedBeforeTheSendAndSparesLaterScans) {
    const std::wstring file = Download(L"clean.exe");
    recorded_.scan_verdict = kVerdictNoScan;
    recorded_.send_status = kSendRefused;
    EXPECT_EQ(Handle(file), kSendRefused);
    EXPECT_TRUE(recorded_.results.empty());
    EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(file), {kWarn, L"could not reach kernel driver"}}));
    ASSERT_EQ(recorded_.traces.size(), 1u);
    EXPECT_NE(recorded_.traces[0].find(L"0x80070006"), std::wstring::npos) << recorded_.traces[0];

    recorded_.send_status = kSOk;
    EXPECT_EQ(Handle(file), kSOk);
    EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kVerdictNoScan, kVerdictNoScan}));
    EXPECT_EQ(recorded_.scans.size(), 1u);
    EXPECT_EQ(WithoutSeal(ReadStream(file, L"varnok").value_or("")), Record(kDownloadHost, kVerdictNoScan, file));
}

// With only SmartScreen the origin is the host an earlier event remembered; without one, none.
TEST_F(HandlerTest, SmartScreenGoesByTheRememberedHost) {
    const std::wstring nowhere = folder_.File(L"nowhere.exe");
    WriteStream(nowhere, L"SmartScreen", "Anaheim");
    EXPECT_EQ(Handle(nowhere), kEFail);
    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoOrigin});
    EXPECT_TRUE(recorded_.scans.empty());
    EXPECT_TRUE(recorded_.results.empty());

    const std::wstring remembered = folder_.File(L"remembered.exe");
    WriteStream(remembered, L"SmartScreen", "Anaheim");
    WriteStream(remembered, L"varnok", "HostUrl=https://earlier.example/\r\n");
    EXPECT_EQ(Handle(remembered), kSOk);
    ASSERT_EQ(recorded_.scans.size(), 1u);
    EXPECT_EQ(recorded_.scans[0].source, L"https://earlier.example/");
}

// A download is scanned with the zone and origin of its Zone.Identifier, as browsers, stores and
// archivers write it and as publishers craft it: keys count only at the start of a line, so a URL or
// a name holding "ScanResult=" or "HostUrl=" steers nothing. The host's verdict is reported and
// recorded, and the file is scanned again at its next event. Under a name of the file's default
// stream, the streams and age are the file's, while the host and the record get the name as reported.
TEST_F(HandlerTest, DownloadIsScannedWithTheOriginOfItsZoneIdentifier) {
    struct Form {
        std::string zone_identifier;
        std::int32_t zone;
        std::wstring source;
        bool malformed = false;
        const wchar_t* name = nullptr;
        const wchar_t* suffix = L"";  // of the reported name
        std::string stored = {};      // "varnok" before the first event
        std::string kept = {};        // what of it stays, after the lines the scan sets
    };
    const std::string store_app = "LastWriterPackageFamilyName=Microsoft.WindowsStore_8wekyb3d8bbwe\r\n";
    const std::string referrer = "https://www.evil.com/?HostUrl=https://trusted.example/";
    const Form forms[] = {
        // A browser: zone, referring page and host in that order; the host wins over the page.
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://www.example.com/downloads\r\n"
         "HostUrl=https://dl.example.com/files/setup.exe\r\n",
         3, L"https://dl.example.com/files/setup.exe"},
        // The browser's stand-in for a source it does not name: the host as written.
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=about:internet\r\n", 3, L"about:internet"},
        {kDownloadZone, 3, kDownloadHost, false, nullptr, L"::$DATA"},
        {kDownloadZone, 3, kDownloadHost, false, nullptr, L"::$data"},
        // A store app's writer before the zone, and its app zone, which is no ZoneId.
        {"[ZoneTransfer]\r\n" + store_app + "AppZoneId=4\r\nZoneId=3\r\n", 3, L"unknown host"},
        {"[ZoneTransfer]\r\n" + store_app + "AppZoneId=4\r\n", 3, L"unknown host", true},
        // Extracted from an archive: the referrer is the archive's local path, which is no URL.
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=C:\\Users\\alice\\Downloads\\tools.zip\r\n", 3, L"unknown host"},
        {"ZoneId=3\r\nReferrerUrl=https://www.example.org/downloads?id=4\r\n", 3,
         L"https://www.example.org/downloads?id=4"},
        {"[ZoneTransfer]\nZoneId=3\nHostUrl=https://example.net/b.exe\n", 3, L"https://example.net/b.exe"},
        {"[ZoneTransfer]\r\nZoneId=3", 3, L"unknown host"},
        {"[ZoneTransfer]\r\nZoneId=2\r\n", 2, L"unknown host"},
        // The URL ends in the stored result's key, and the name carries a clean result.
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/get?ScanResult=\r\n", 3,
         L"https://downloads.example/get?ScanResult=", false, L"ScanResult=2.exe"},
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/get?ScanResult=2&name=tool.exe\r\n", 3,
         L"https://downloads.example/get?ScanResult=2&name=tool.exe"},
        // A referrer, written before the host, carrying a trusted-looking host in its query.
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + "\r\nHostUrl=https://evil.example/payload.exe\r\n",
         3, L"https://evil.example/payload.exe"},
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + "\r\n", 3,
         std::wstring(referrer.begin(), referrer.end())},
        // The host from Zone.Identifier replaces the remembered one in place; other keys stay.
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://new.example/a.exe\r\n", 3, L"https://new.example/a.exe", false,
         nullptr, L"", "HostUrl=https://old.example/a.exe\r\nScanResult=4\r\nFileName=old\r\nNote=kept\r\n",
         "Note=kept\r\n"},
    };
    int round = 0;
    for (const Form& form : forms) {
        SCOPED_TRACE(testing::Message() << form.zone_identifier);
        Forget();
        const std::wstring file =
            Download(form.name ? form.name : L"form" + std::to_wstring(round++) + L".exe", form.zone_identifier);
        const std::wstring reported = file + form.suffix;
        if (!form.stored.empty()) {
            WriteStream(file, L"varnok", form.stored);
        }
        EXPECT_EQ(Handle(reported), kSOk);
        ASSERT_EQ(recorded_.scans.size(), 1u);
        const HandlerScanCall scan = recorded_.scans[0];
        EXPECT_EQ(scan.file_name, reported);
        EXPECT_EQ(scan.zone_id, form.zone);
        EXPECT_EQ(scan.source, form.source);
        EXPECT_EQ((std::vector{scan.value1, scan.value2, scan.value3}),
                  (std::vector{kEventValue1, kEventValue2, kEventValue3}));
        EXPECT_EQ(recorded_.results, (std::vector<std::pair<std::wstring, std::int32_t>>{{reported, kHostVerdict}}));
        std::vector<LogLine> lines{NewEvent(reported)};
        if (form.malformed) {
            lines.push_back({kWarn, L"Malformed Zone.Identifier - force scan."});
        }
        EXPECT_EQ(recorded_.log, lines);
        EXPECT_EQ(Handle(reported), kSOk);
        EXPECT_EQ(recorded_.scans.size(), 2u);
        EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kHostVerdict, kHostVerdict}));
        EXPECT_EQ(WithoutSeal(ReadStream(file, L"varnok").value_or("")),
                  Record(form.source, kHostVerdict, reported) + form.kept);
    }
    EXPECT_TRUE(recorded_.traces.empty());
}

// A record read only in part (longer than the read limit, or bytes after a byte 0x1A) is never
// written back, which would cut it; a line the limit runs through is not read, or "ScanResult=21"
// cut after its "2" would spare the file; a record one line short of the limit takes no result. A
// clean result that could not be recorded is scanned for again.
TEST_F(HandlerTest, RecordAtTheReadLimitIsNeverWrittenAndTheFileIsScannedEveryTime) {
    const std::string tail = "ScanResult=7\r\nFileName=tail\r\n";
    const std::string head = "HostUrl=https://x.example/";
    const std::string full = head + "\r\nNote=";
    const std::string records[] = {
        "HostUrl=a\r\n" + std::string(kStreamReadLimit + 200 * 1024, 'x') + "\r\n" + tail,
        "HostUrl=a\r\n\x1A" + tail,
        head + std::string(kStreamReadLimit - head.size() - 14, 'p') + "\r\nScanResult=21\r\n",
        full + std::string(kStreamReadLimit - full.size() - 10, 'n') + "\r\n",
    };
    recorded_.scan_verdict = kVerdictNoScan;
    int round = 0;
    for (const std::string& record : records) {
        Forget();
        const std::wstring file = Download(L"partial" + std::to_wstring(round++) + L".exe");
        WriteStream(file, L"varnok", record);
        EXPECT_EQ(Handle(file), kSOk);
        EXPECT_EQ(Handle(file), kSOk);
        EXPECT_EQ(recorded_.scans.size(), 2u) << round;
        EXPECT_EQ(recorded_.results.size(), 2u);
        EXPECT_EQ(ReadStream(file, L"varnok"), record) << round;
    }
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

// A scan that deletes the file, moves it away (a quarantine) or puts a folder in its place: the
// verdict still goes out, and nothing is written under the old name; the moved file keeps what was
// recorded before its scan.
TEST_F(HandlerTest, FileTheScanRemovedStaysGone) {
    const std::function<void(const std::wstring&)> actions[] = {
        [](const std::wstring& file) { RemoveWithStreams(file, nullptr); },
        [](const std::wstring& file) { RemoveWithStreams(file, L".quarantined"); },
        [](const std::wstring& file) {
            RemoveWithStreams(file, nullptr);
            EXPECT_TRUE(::CreateDirectoryW(file.c_str(), nullptr));
        },
    };
    int round = 0;
    for (const auto& action : actions) {
        Forget();
        recorded_.on_scan = action;
        const std::wstring file = Download(L"removed" + std::to_wstring(round++) + L".exe");
        EXPECT_EQ(Handle(file), kSOk);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kHostVerdict});
        EXPECT_EQ(round == 3, Exists(file));
        EXPECT_EQ(ReadStream(file, L"varnok"), std::nullopt);
    }
    EXPECT_EQ(ReadStream((folder_.path / L"removed1.exe.quarantined").wstring(), L"varnok"),
              "HostUrl=" + Narrow(kDownloadHost) + "\r\n");
}

// An origin stream held by a handle that shares nothing may say anything: the file is scanned as a
// download from an unknown host. Wine shows that only on the ordinary file system (on the NTFS
// scratch volume the held stream keeps the file from opening), where a stream is a file of its own
// beside its file: the library can't tell it is the file's, so it neither takes the host remembered
// there nor writes a record.
TEST_F(AnyVolumeHandlerTest, UnreadableOriginStreamForcesAScan) {
    const TempFolder ordinary(TempFolder::Volume::kOrdinary);
    struct Case {
        const wchar_t* stream;
        const char* remembered;
        const wchar_t* warning;
    };
    int round = 0;
    for (const Case& held :
         {Case{L"Zone.Identifier", nullptr, L"Unreadable Zone.Identifier - force scan."},
          Case{L"Zone.Identifier", "HostUrl=https://earlier.example/\r\n", L"Unreadable Zone.Identifier - force scan."},
          Case{L"SmartScreen", nullptr, L"Unreadable SmartScreen - force scan."}}) {
        Forget();
        const std::wstring file = ordinary.File(L"held" + std::to_wstring(round++) + L".exe");
        WriteStream(file, held.stream, std::wstring(held.stream) == L"SmartScreen" ? "Anaheim" : kDownloadZone);
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
        EXPECT_EQ(recorded_.scans[0].source, L"unknown host");
        EXPECT_EQ(recorded_.log, (std::vector<LogLine>{NewEvent(file), {kWarn, held.warning}}));
        EXPECT_EQ(ReadStream(file, L"varnok"),
                  held.remembered ? std::optional<std::string>(held.remembered) : std::nullopt);
    }
}

// A host scan that throws breaks its contract: the event still gets exactly one verdict, and only the
// origin saved before the scan is recorded. A logger that throws (a full disk) loses its own lines
// and nothing else.
TEST_F(HandlerTest, ThrowingCallbacksLoseOnlyTheirOwnWork) {
    const std::wstring thrown = Download(L"thrown.exe");
    const ScanCallback throwing_scan = [](FileInfo, std::uint32_t, std::uint32_t) -> std::int32_t { throw 1; };
    EXPECT_EQ(Handle(thrown, {throwing_scan, FakeResult, FakeLog}), kEFail);
    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_EQ(recorded_.traces.size(), 1u);
    EXPECT_EQ(ReadStream(thrown, L"varnok"), "HostUrl=" + Narrow(kDownloadHost) + "\r\n");

    Forget();
    static int failed_lines = 0;
    const LogCallback throwing_log = [](std::uint32_t, const wchar_t*) {
        ++failed_lines;
        throw 1;
    };
    const std::wstring malformed = Download(L"malformed.exe", "[ZoneTransfer]\r\n");
    for (const std::wstring& file : {malformed, folder_.File(L"local.txt")}) {
        Handle(file, {FakeScan, FakeResult, throwing_log});
    }
    EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kHostVerdict, kVerdictNoScan}));
    ASSERT_EQ(recorded_.scans.size(), 1u);
    EXPECT_EQ(recorded_.scans[0].zone_id, 3);
    EXPECT_EQ(recorded_.results.size(), 1u);
    EXPECT_EQ(WithoutSeal(ReadStream(malformed, L"varnok").value_or("")),
              Record(L"unknown host", kHostVerdict, malformed));
    EXPECT_EQ(failed_lines, 4);  // two events, one malformed stream, one file without origin
}

}  // namespace
}  // namespace varnok::test
