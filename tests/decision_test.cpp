// The handler of one event, way out by way out; a download's named stream is judged by its file.
#include <cwctype>

#include "origin.h"
#include "record_seal.h"
#include "stream_text.h"
#include "tests/support/handler_harness.h"

namespace varnok::test {
namespace {

const std::string kPayload = "MsgBox \"hello\"\r\n";  // what a publisher hides in a named stream of its download

// Zone.Identifier as browsers, stores, archivers and publishers write it: keys at a line's start only.
TEST(OriginTest, ZoneAndHostAreReadAsWritersLeaveThem) {
    struct Row {
        std::string zone_identifier;
        std::int32_t zone;
        std::wstring host;
        const char* warning = "";
    };
    const std::string store_app =
        "[ZoneTransfer]\r\nLastWriterPackageFamilyName=Microsoft.WindowsStore_8wekyb3d8bbwe\r\nAppZoneId=4\r\n";
    const std::string referrer = "https://www.evil.com/?HostUrl=https://trusted.example/";
    const Row rows[] = {
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://www.example.com/downloads\r\n"
         "HostUrl=https://dl.example.com/files/setup.exe\r\n",
         3, L"https://dl.example.com/files/setup.exe"},
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=about:internet\r\n", 3, L"about:internet"},
        {store_app + "ZoneId=3\r\n", 3, L"unknown host"},
        {store_app, 3, L"unknown host", "Malformed Zone.Identifier - force scan."},
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=C:\\Users\\alice\\Downloads\\tools.zip\r\n", 3, L"unknown host"},
        {"ZoneId=3\r\nReferrerUrl=https://www.example.org/downloads?id=4\r\n", 3,
         L"https://www.example.org/downloads?id=4"},
        {"[ZoneTransfer]\nZoneId=3\nHostUrl=https://example.net/b.exe\n", 3, L"https://example.net/b.exe"},
        {"[ZoneTransfer]\r\nZoneId=2", 2, L"unknown host"},
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/get?ScanResult=2&name=tool.exe\r\n", 3,
         L"https://downloads.example/get?ScanResult=2&name=tool.exe"},
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + "\r\nHostUrl=https://evil.example/payload.exe\r\n",
         3, L"https://evil.example/payload.exe"},
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + "\r\n", 3,
         std::wstring(referrer.begin(), referrer.end())},
    };
    for (const Row& row : rows) {
        const Origin origin = ReadOrigin(DecodeStream(row.zone_identifier, true), StreamState::kLoaded,
                                         StreamState::kMissing, StreamText{}, StreamState::kMissing);
        EXPECT_EQ(origin.zone, row.zone) << row.zone_identifier;
        EXPECT_EQ(origin.host, row.host) << row.zone_identifier;
        EXPECT_EQ(std::string(origin.warning ? origin.warning : ""), row.warning) << row.zone_identifier;
    }
}

// Not scanned, each reason logged: no origin, an old file, unopenable as asked; a line end shown as '?'.
TEST_F(HandlerTest, NamesThatNeedNoScanGetVerdictTwoAndTheirReason) {
    const std::wstring file = folder_.Download(L"tool.exe");
    const std::wstring local = folder_.File(L"local.txt");
    const std::wstring old = folder_.Download(L"old.exe");
    WriteStream(local, L"p.vbs", kPayload);
    WriteStream(old, L"p.vbs", kPayload);
    AgeFile(old, std::chrono::hours(48));
    std::wstring shouted = kRecordStream;
    std::transform(shouted.begin(), shouted.end(), shouted.begin(), [](wchar_t c) { return std::towupper(c); });
    const std::wstring forged = (folder_.path / L"a").wstring();
    std::vector<std::pair<std::wstring, std::wstring>> no_origin = {
        {forged + L"\r\nconnection to kernel driver restored\u2028\r.exe",
         forged + L"??connection to kernel driver restored??.exe"}};
    for (const std::wstring& name :
         {local, local + L":p.vbs", folder_.path.wstring() + L":p.vbs", file + L":Zone.Identifier",
          file + L":zone.IDENTIFIER:$DATA", file + L":SMARTSCREEN", file + L":" + shouted, file + L":a:b:$DATA"}) {
        no_origin.emplace_back(name, name);
    }
    for (const auto& [reported, shown] : no_origin) {
        ExpectUnscanned(reported, kSOk,
                        {NewEvent(shown), {VARNOK_LOG_INFO, L"File has no Zone.Identifier nor SmartScan. " + shown}});
    }
    for (const std::wstring& reported : {old, old + L"::$DATA", old + L":p.vbs"}) {
        ExpectUnscanned(reported, kSOk, {NewEvent(reported), {VARNOK_LOG_INFO, reported + L" file is old"}});
    }
    const auto expect_unopenable = [&](const std::wstring& reported) {
        ExpectUnscanned(reported, kEFail,
                        {NewEvent(reported),
                         {VARNOK_LOG_INFO, reported + L" Could not open file."},
                         {VARNOK_LOG_WARN, L" Could not open file."}});
    };
    expect_unopenable(file + L":absent.vbs");
    {
        const UniqueHandle writer = OpenName(file, GENERIC_WRITE, OPEN_EXISTING);
        expect_unopenable(file);
    }
    for (const std::wstring& unrecorded : {file, old}) {
        EXPECT_EQ(RecordOf(unrecorded), std::nullopt);
    }
    EXPECT_EQ(ReadStream(file, L"Zone.Identifier"), kDownloadZone);
    const UniqueHandle deleter = OpenName(file, DELETE, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(deleter);
    EXPECT_TRUE(Scanned(file));
}

// The result is sealed in the record before the send: a clean one spares later scans, sent or not.
TEST_F(HandlerTest, ResultIsRecordedBeforeTheSendAndACleanOneSparesLaterScans) {
    const std::wstring file = folder_.Download(L"clean.exe");
    Host().verdict = kVerdictNoScan;
    sink_.status = kSendRefused;
    std::string at_send;
    sink_.on_send = [&] { at_send = RecordOf(file).value_or(""); };
    EXPECT_EQ(Handle(file), kSendRefused);
    EXPECT_EQ(WithoutSeal(at_send), Record(kDownloadHost, kVerdictNoScan, file));
    EXPECT_NE(at_send, WithoutSeal(at_send));  // sealed too
    EXPECT_TRUE(Host().Results().empty());
    EXPECT_EQ(Log(), (std::vector<LogLine>{NewEvent(file), {VARNOK_LOG_WARN, L"could not reach kernel driver"}}));
    ASSERT_EQ(g_traces.size(), 1u);
    EXPECT_NE(g_traces[0].find(L"0x80070006"), std::wstring::npos) << Narrow(g_traces[0]);

    sink_.status = kSOk;
    EXPECT_FALSE(Scanned(file));
}

// With only SmartScreen the origin is the host remembered, or none; a stream's event writes nothing.
TEST_F(HandlerTest, SmartScreenGoesByTheRememberedHost) {
    const std::wstring nowhere = folder_.File(L"nowhere.exe");
    WriteStream(nowhere, L"SmartScreen", "Anaheim");
    EXPECT_EQ(Handle(nowhere), kEFail);
    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoOrigin});
    EXPECT_TRUE(Scans().empty());
    EXPECT_TRUE(Host().Results().empty());

    const std::wstring remembered = folder_.File(L"remembered.txt");
    WriteStream(remembered, L"SmartScreen", "Anaheim");
    WriteStream(remembered, L"p.vbs", kPayload);
    const std::string record = Line(kHostUrl, "https://earlier.example/");
    WriteStream(remembered, kRecordStream, record);
    EXPECT_TRUE(Scanned(remembered + L":p.vbs", 0, L"https://earlier.example/"));
    EXPECT_EQ(RecordOf(remembered), record);
    EXPECT_TRUE(Scanned(remembered, 0, L"https://earlier.example/"));
}

// A download is scanned under the name as reported at every event; only its data's result is recorded.
TEST_F(HandlerTest, DownloadIsScannedUnderTheNameAsReportedAndRecordedInPlace) {
    int round = 0;
    for (const std::wstring suffix : {L"", L"::$DATA", L"::$data", L":p.vbs", L":p.vbs:$DATA"}) {
        const std::wstring file = folder_.Download(L"notes" + std::to_wstring(round++) + L".txt");
        WriteStream(file, L"p.vbs", kPayload);
        EXPECT_TRUE(Scanned(file + suffix));
        EXPECT_TRUE(Scanned(file + suffix));
        const bool named_stream = suffix.starts_with(L":p.vbs");
        EXPECT_EQ(RecordOf(file).has_value(), !named_stream);
        EXPECT_EQ(UnsealedRecordOf(file), named_stream ? "" : Record(kDownloadHost, kHostVerdict, file + suffix));
    }
    EXPECT_TRUE(g_traces.empty());

    // Lines replaced in place, others kept, a result key in a URL or name ignored, a last line unended.
    const std::wstring host = L"https://downloads.example/get?ScanResult=";
    const std::wstring file =
        folder_.Download(kScanResult + L"=2.exe", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + Narrow(host));
    WriteStream(file, kRecordStream,
                Line(kHostUrl, "https://old.example/a.exe") + Line(kScanResult, "4") + Line(kFileName, "old") +
                    "Note=kept\r\n");
    EXPECT_TRUE(Scanned(file, 3, host));
    EXPECT_TRUE(Scanned(file, 3, host));
    EXPECT_EQ(UnsealedRecordOf(file), Record(host, kHostVerdict, file) + "Note=kept\r\n");
}

// A record that can't be updated whole (partly read, cut, locked) is never written; every event scans.
TEST_F(HandlerTest, RecordThatCantBeUpdatedWholeIsNeverWrittenAndTheFileIsScannedEveryTime) {
    const std::string tail = Line(kScanResult, "7") + Line(kFileName, "tail");
    const std::string head = Narrow(kHostUrl) + "=https://x.example/";
    const std::string full = head + "\r\nNote=";
    const std::string records[] = {
        Line(kHostUrl, "a") + std::string(kStreamReadLimit + 200 * 1024, 'x') + "\r\n" + tail,
        Line(kHostUrl, "a") + "\x1A" + tail,
        head + std::string(kStreamReadLimit - head.size() - 14, 'p') + "\r\n" + Line(kScanResult, "21"),
        full + std::string(kStreamReadLimit - full.size() - 10, 'n') + "\r\n",
        tail,  // locked
    };
    Host().verdict = kVerdictNoScan;
    for (std::size_t round = 0; round < std::size(records); ++round) {
        const std::wstring file = folder_.Download(L"partial" + std::to_wstring(round) + L".exe");
        WriteStream(file, kRecordStream, records[round]);
        const auto lock = round + 1 == std::size(records) ? std::make_optional<LockedForEver>(file) : std::nullopt;
        EXPECT_TRUE(Scanned(file)) << round;
        EXPECT_TRUE(Scanned(file)) << round;
        EXPECT_EQ(RecordOf(file), records[round]) << round;
    }
}

bool Exists(const std::wstring& name) { return ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A scan that deletes, quarantines or replaces the file by a folder: nothing is written under its name.
TEST_F(HandlerTest, FileTheScanRemovedStaysGone) {
    for (const int how : {0, 1, 2}) {
        const std::wstring file = folder_.Download(L"removed" + std::to_wstring(how) + L".exe");
        Host().answer = [&](const ScanCall&) {
            for (const std::wstring& part : {std::wstring(), L":" + kRecordStream, std::wstring(L":Zone.Identifier")}) {
                if (part.empty() || Exists(file + part)) {
                    EXPECT_TRUE(how == 1 ? ::MoveFileW((file + part).c_str(), (file + L".quarantined" + part).c_str())
                                         : ::DeleteFileW((file + part).c_str()));
                }
            }
            EXPECT_TRUE(how != 2 || ::CreateDirectoryW(file.c_str(), nullptr));
            return kHostVerdict;
        };
        Forget();
        EXPECT_EQ(Handle(file), kSOk);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kHostVerdict});
        EXPECT_EQ(how == 2, Exists(file));
        EXPECT_EQ(RecordOf(file), std::nullopt);
    }
    EXPECT_EQ(RecordOf((folder_.path / L"removed1.exe.quarantined").wstring()), Line(kHostUrl, Narrow(kDownloadHost)));
}

// An origin stream held without sharing: scanned from an unknown host (off NTFS, where Wine shows it).
TEST_F(AnyVolumeHandlerTest, UnreadableOriginStreamForcesAScan) {
    const TempFolder ordinary(TempFolder::Volume::kOrdinary);
    const std::string remembered = Line(kHostUrl, "https://earlier.example/");
    int round = 0;
    for (const auto& [stream, remembers] : {std::pair{L"Zone.Identifier", false}, std::pair{L"Zone.Identifier", true},
                                            std::pair{L"SmartScreen", false}}) {
        const std::wstring file = ordinary.File(L"held" + std::to_wstring(round++) + L".exe");
        WriteStream(file, stream, std::wstring(stream) == L"SmartScreen" ? "Anaheim" : kDownloadZone);
        if (remembers) {
            WriteStream(file, kRecordStream, remembered);
        }
        const UniqueHandle holder = OpenName(file + L":" + stream, GENERIC_READ, OPEN_EXISTING, 0);
        EXPECT_TRUE(Scanned(file, 3, L"unknown host", L"Unreadable " + std::wstring(stream) + L" - force scan."));
        EXPECT_EQ(RecordOf(file), remembers ? std::optional(remembered) : std::nullopt);
    }
}

// Missing or throwing callbacks lose their own work only: one verdict, the origin saved before the scan.
TEST_F(HandlerTest, MissingOrThrowingCallbacksLoseOnlyTheirOwnWork) {
    const std::wstring download = folder_.Download(L"download.exe");
    EXPECT_EQ(Handle(download, {nullptr, HostResult, HostLog}), kEFail);
    EXPECT_EQ(Handle(L""), kEFail);
    EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kVerdictNoScan, kVerdictNoScan}));
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(RecordOf(download), std::nullopt);

    Forget();
    const std::wstring thrown = folder_.Download(L"thrown.exe");
    const ScanCallback throwing_scan = [](FileInfo, std::uint32_t, std::uint32_t) -> std::int32_t { throw 1; };
    EXPECT_EQ(Handle(thrown, {throwing_scan, HostResult, HostLog}), kEFail);
    EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
    EXPECT_EQ(g_traces.size(), 1u);
    EXPECT_EQ(RecordOf(thrown), Line(kHostUrl, Narrow(kDownloadHost)));

    Forget();
    static int failed_lines = 0;
    const LogCallback throwing_log = [](std::uint32_t, const wchar_t*) {
        ++failed_lines;
        throw 1;
    };
    const std::wstring malformed = folder_.Download(L"malformed.exe", "[ZoneTransfer]\r\n");
    for (const std::wstring& file : {malformed, folder_.File(L"local.txt")}) {
        Handle(file, {HostScan, HostResult, throwing_log});
    }
    EXPECT_EQ(Verdicts(), (std::vector<std::int32_t>{kHostVerdict, kVerdictNoScan}));
    ASSERT_EQ(Scans().size(), 1u);
    EXPECT_EQ(Scans()[0].zone_id, 3);
    EXPECT_EQ(Host().Results().size(), 1u);
    EXPECT_EQ(UnsealedRecordOf(malformed), Record(L"unknown host", kHostVerdict, malformed));
    EXPECT_EQ(failed_lines, 4);  // two events, one malformed stream, one file without origin
}

void Rewrite(const std::wstring& file, const std::string& content) {  // anew in place, as an installer does
    const UniqueHandle handle = OpenName(file, GENERIC_WRITE, OPEN_EXISTING, kShareAll);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(handle.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
}

void SetLastWrite(const std::wstring& file, std::uint64_t time) {
    ASSERT_TRUE(OfFile(file, [&](HANDLE handle) { return SetLastWriteTime(handle, time); }));
}

using RecordTrustTest = HandlerTest;  // which stored result spares a scan: a clean one sealed for the file

// Records a file arrives with (archive, copy, restore) are scanned, then replaced by one that spares.
TEST_F(RecordTrustTest, PlantedCleanRecordIsScannedThenReplaced) {
    Host().verdict = kVerdictNoScan;
    const std::wstring original = folder_.Download(L"original.exe");
    EXPECT_TRUE(Scanned(original));
    const FileVersion version = OfFile(original, FactsOf)->version;
    const std::wstring forged = folder_.Download(L"forged.exe");
    std::unique_ptr<RecordKey> other_key;
    ASSERT_EQ(RecordKey::Create(other_key), kSOk);
    const ScanRecord claim{*OfFile(forged, IdentityOf), version, kVerdictNoScan};
    std::wstring sealed_elsewhere = kScanResult + L"=2\n";
    SetRecordSeal(sealed_elsewhere, claim, *other_key->SealOf(claim));

    int round = 0;
    for (const std::string& planted :
         {Line(kScanResult, "2"), Line(kScanResult, "02"), Line(kScanResult, " 2"), Line(kScanResult, "2x"),
          EncodeStreamText(sealed_elsewhere), RecordOf(original).value_or("")}) {
        SCOPED_TRACE(planted);
        const std::wstring file = round == 4 ? forged : folder_.Download(L"planted" + std::to_wstring(round) + L".exe");
        ++round;
        WriteStream(file, kRecordStream, planted);
        SetLastWrite(file, version.last_write_time);
        ASSERT_EQ(OfFile(file, FactsOf)->version, version);
        EXPECT_TRUE(Scanned(file));
        EXPECT_EQ(UnsealedRecordOf(file),
                  planted.starts_with(Narrow(kScanResult))
                      ? Line(kScanResult, "2") + Line(kHostUrl, Narrow(kDownloadHost)) + Line(kFileName, Narrow(file))
                      : Record(kDownloadHost, kVerdictNoScan, file));
        EXPECT_FALSE(Scanned(file));
    }
    EXPECT_FALSE(Scanned(original));
}

// Its own clean record spares the unchanged file's event, writing nothing; never a stream's, nor a change's.
TEST_F(RecordTrustTest, OwnRecordSparesOnlyTheUnchangedFileItself) {
    Host().verdict = kVerdictNoScan;
    const std::wstring file = folder_.Download(L"spared.txt");
    WriteStream(file, L"p.vbs", kPayload);
    EXPECT_TRUE(Scanned(file));
    const std::string record = RecordOf(file).value_or("");
    const FileVersion scanned_version = OfFile(file, FactsOf)->version;
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://elsewhere.example/\r\n");
    SetLastWrite(file, scanned_version.last_write_time);
    EXPECT_FALSE(Scanned(file));
    EXPECT_EQ(Log(), std::vector<LogLine>{NewEvent(file)});
    EXPECT_TRUE(Host().Results().empty());
    EXPECT_EQ(OfFile(file, FactsOf)->version, scanned_version);
    EXPECT_TRUE(Scanned(file + L":p.vbs", 3, L"https://elsewhere.example/"));
    EXPECT_TRUE(Scanned(file + L":p.vbs", 3, L"https://elsewhere.example/"));
    EXPECT_EQ(RecordOf(file), record);

    const std::wstring changing = folder_.Download(L"changing.exe");
    Host().answer = [](const ScanCall& scan) {
        Rewrite(scan.file_name, "CHANGED");
        return kVerdictNoScan;
    };
    EXPECT_TRUE(Scanned(changing));
    Host().answer = nullptr;
    EXPECT_TRUE(Scanned(changing));
    EXPECT_FALSE(Scanned(changing));

    const std::wstring overtaken = folder_.Download(L"overtaken.exe");
    bool inner_done = false;
    Host().answer = [&](const ScanCall& scan) {
        if (!inner_done) {
            inner_done = true;
            Rewrite(scan.file_name, "NEWER!!");
            EXPECT_EQ(Handle(scan.file_name), kSOk);  // the newer event, scanned clean and recorded first
        }
        return kVerdictNoScan;
    };
    Forget();
    EXPECT_EQ(Handle(overtaken), kSOk);
    EXPECT_EQ(Scans().size(), 2u);
    Host().answer = nullptr;
    EXPECT_TRUE(Scanned(overtaken));
}

// Changing any bound field, the result, the seal or the key leaves no trusted result.
TEST_F(RecordTrustTest, ChangingAnyBoundFieldOrTheResultFailsTheCheck) {
    const std::wstring file = folder_.Download(L"checked.exe");
    const ScanRecord clean{*OfFile(file, IdentityOf), OfFile(file, FactsOf)->version, kVerdictNoScan};
    const auto sealed_text = [&](const ScanRecord& record, const RecordKey& key, const std::wstring& result) {
        std::wstring text = kHostUrl + L"=x\n" + kScanResult + L"=" + result + L"\n";
        SetRecordSeal(text, record, *key.SealOf(record));
        return text;
    };
    const auto trusted = [&](const std::wstring& text) {
        return key_->SealedCleanFor(text, clean.identity, clean.version);
    };
    EXPECT_TRUE(trusted(sealed_text(clean, *key_, L"2")));

    ScanRecord others[5] = {clean, clean, clean, clean, clean};
    others[0].identity.volume_serial ^= 1;
    others[1].identity.file_id[0] ^= 1;
    others[2].version.size += 1;
    others[3].version.last_write_time += 1;
    others[4].result = 1;
    const ScanRecord& not_clean = others[4];
    const Seal seal_of_clean = *key_->SealOf(clean);
    for (const ScanRecord& other : others) {
        EXPECT_FALSE(trusted(sealed_text(other, *key_, std::to_wstring(other.result))));
        EXPECT_FALSE(key_->Verifies(other, seal_of_clean));
    }
    EXPECT_FALSE(trusted(sealed_text(not_clean, *key_, L"2")));
    EXPECT_FALSE(trusted(sealed_text(clean, *key_, L"02")));
    std::wstring tampered = sealed_text(clean, *key_, L"2");
    const std::size_t seal = tampered.find(kResultSealKey + L"=") + kResultSealKey.size() + 1;
    tampered[seal] = tampered[seal] == L'0' ? L'1' : L'0';
    EXPECT_FALSE(trusted(tampered));
    std::unique_ptr<RecordKey> other_key;
    ASSERT_EQ(RecordKey::Create(other_key), kSOk);
    EXPECT_FALSE(trusted(sealed_text(clean, *other_key, L"2")));
}

}  // namespace
}  // namespace varnok::test
