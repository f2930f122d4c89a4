// Which stored result spares a scan: only a clean result that the library sealed itself, with its
// own key, for the very file, as the file is now. Planted, copied and outdated records are scanned,
// and replaced by the library's own afterwards; the library's own record on an unchanged file spares
// the scan and writes nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_calls.h"
#include "judged_file.h"
#include "record_format.h"
#include "record_seal.h"
#include "stream_text.h"
#include "tests/support/handler_harness.h"
#include "verdicts.h"

namespace varnok::test {
namespace {

FileFacts FactsOfFile(const std::wstring& file) {
    const UniqueHandle handle = OpenName(file, FILE_READ_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    return FactsOf(handle.Get()).value_or(FileFacts{});
}

FileIdentity IdentityOfFile(const std::wstring& file) {
    const UniqueHandle handle = OpenName(file, FILE_READ_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    return IdentityOf(handle.Get()).value_or(FileIdentity{});
}

void SetLastWrite(const std::wstring& file, std::uint64_t time) {
    const UniqueHandle handle = OpenName(file, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(SetLastWriteTime(handle.Get(), time));
}

// Writes the file's content anew, as a second download to the same name or an installer that
// rewrites its payload does, keeping its size.
void Rewrite(const std::wstring& file, const std::string& content) {
    const UniqueHandle handle = OpenName(file, GENERIC_WRITE, OPEN_EXISTING, kShareAll);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(handle.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
}

class RecordTrustTest : public HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        Host().verdict = kVerdictNoScan;
    }
};

// Records that a file can arrive with, by archive, copy or restore: a clean result in any spelling;
// one with the file's true identity and version, which its publisher can compute, sealed with a key
// that is not this client's; and the library's own clean record of another file with the same
// content, size and last-write time. Each is scanned; the library's record replaces it, and spares the
// next event. The original stays spared.
TEST_F(RecordTrustTest, PlantedCleanRecordIsScannedThenReplaced) {
    const std::wstring original = folder_.Download(L"original.exe");
    EXPECT_TRUE(Scanned(original));
    const FileVersion version = FactsOfFile(original).version;
    const std::wstring forged = folder_.Download(L"forged.exe");
    std::unique_ptr<RecordKey> other_key;
    ASSERT_EQ(RecordKey::Create(other_key), kSOk);
    const ScanRecord claim{IdentityOfFile(forged), version, kVerdictNoScan};
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
        ASSERT_EQ(FactsOfFile(file).version, version);
        EXPECT_TRUE(Scanned(file));
        // A planted result line stays where it was, with the library's value.
        EXPECT_EQ(UnsealedRecordOf(file),
                  planted.starts_with(Narrow(kScanResult))
                      ? Line(kScanResult, "2") + Line(kHostUrl, Narrow(kDownloadHost)) + Line(kFileName, Narrow(file))
                      : Record(kDownloadHost, kVerdictNoScan, file));
        EXPECT_FALSE(Scanned(file));
    }
    EXPECT_FALSE(Scanned(original));
}

// A file written after its clean scan, in place at the same size or grown, is scanned again.
TEST_F(RecordTrustTest, FileRewrittenAfterItsCleanScanIsScanned) {
    for (const bool same_size : {true, false}) {
        const std::wstring file = folder_.Download(same_size ? L"rewritten.exe" : L"grown.exe");
        EXPECT_TRUE(Scanned(file));
        Rewrite(file, same_size ? "CONTENT" : "content, and more of it");
        EXPECT_TRUE(Scanned(file)) << same_size;
        EXPECT_FALSE(Scanned(file)) << same_size;
    }
}

// A change while the scan runs, whatever the scan then says, leaves no record that spares the
// changed content: the result is sealed for the content the scan began with. So also when a newer
// event of the file is scanned meanwhile and finishes first: the older scan's record, written last,
// spares nothing it did not see.
TEST_F(RecordTrustTest, FileChangedWhileItsScanRunsIsScanned) {
    const std::wstring file = folder_.Download(L"changing.exe");
    Host().answer = [](const ScanCall& scan) {
        Rewrite(scan.file_name, "CHANGED");
        return kVerdictNoScan;
    };
    EXPECT_TRUE(Scanned(file));
    Host().answer = nullptr;
    EXPECT_TRUE(Scanned(file));
    EXPECT_FALSE(Scanned(file));

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

// The library's own clean record of the file as it is spares the file's next event, which writes
// nothing: not even the host of a Zone.Identifier that has changed since (its rewrite moved the
// file's time, which is set back here as a restore would). It never spares a named stream of the
// file, whose scans write nothing into the record either, nor their own clean result.
TEST_F(RecordTrustTest, OwnRecordSparesTheUnchangedFileButNeverItsStream) {
    const std::wstring file = folder_.Download(L"spared.txt");
    WriteStream(file, L"p.vbs", "MsgBox \"hello\"\r\n");
    EXPECT_TRUE(Scanned(file));
    const std::string record = RecordOf(file).value_or("");
    const FileVersion scanned_version = FactsOfFile(file).version;
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://elsewhere.example/\r\n");
    SetLastWrite(file, scanned_version.last_write_time);
    EXPECT_FALSE(Scanned(file));
    EXPECT_EQ(Log(), std::vector<LogLine>{NewEvent(file)});
    EXPECT_TRUE(Host().Results().empty());
    EXPECT_EQ(RecordOf(file), record);
    EXPECT_EQ(FactsOfFile(file).version, scanned_version);
    for (int event = 0; event < 2; ++event) {
        EXPECT_TRUE(Scanned(file + L":p.vbs", 3, L"https://elsewhere.example/"));
    }
    EXPECT_EQ(RecordOf(file), record);
}

// The check itself: a record sealed for the judged file as it is holds a trusted clean result, and
// changing any bound field, the result, the seal or the key makes it hold none. The seal covers each
// field on its own account: the seal of the file as it is never verifies any other facts.
TEST_F(RecordTrustTest, ChangingAnyBoundFieldOrTheResultFailsTheCheck) {
    const std::wstring file = folder_.Download(L"checked.exe");
    const FileLocation location = *LocateFile(file);
    OriginStream zone_identifier(ExactName(location), L"Zone.Identifier");
    JudgedFile judged;
    ASSERT_EQ(judged.Judge(location, {}, {&zone_identifier}), Judgement::kRecent);
    ASSERT_TRUE(judged.RecordIsItsOwn());
    const ScanRecord clean{judged.Identity(), judged.Version(), kVerdictNoScan};
    const auto sealed_text = [&](const ScanRecord& record, const RecordKey& key, const std::wstring& result) {
        std::wstring text = kHostUrl + L"=x\n" + kScanResult + L"=" + result + L"\n";
        SetRecordSeal(text, record, *key.SealOf(record));
        return text;
    };
    const auto trusted = [&](const std::wstring& text) {
        return key_->SealedCleanFor(text, judged.Identity(), judged.Version());
    };
    EXPECT_TRUE(trusted(sealed_text(clean, *key_, L"2")));

    ScanRecord other_volume = clean;
    other_volume.identity.volume_serial ^= 1;
    ScanRecord other_file = clean;
    other_file.identity.file_id[0] ^= 1;
    ScanRecord other_size = clean;
    other_size.version.size += 1;
    ScanRecord other_time = clean;
    other_time.version.last_write_time += 1;
    ScanRecord not_clean = clean;
    not_clean.result = 1;
    const Seal seal_of_clean = *key_->SealOf(clean);
    for (const ScanRecord& changed : {other_volume, other_file, other_size, other_time, not_clean}) {
        EXPECT_FALSE(trusted(sealed_text(changed, *key_, std::to_wstring(changed.result))));
        EXPECT_FALSE(key_->Verifies(changed, seal_of_clean));
    }
    // The sealed facts right, but the text says otherwise than what was sealed.
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
