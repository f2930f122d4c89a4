// Which stored result spares a scan: only a clean result that the library sealed itself, for the
// very file, as the file is now. Planted, copied and outdated records are scanned, and replaced by
// the library's own afterwards; the library's own record on an unchanged file spares the scan and
// writes nothing; a new key (a restart) costs one scan.
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
        recorded_.scan_verdict = kVerdictNoScan;
    }

    // Scans the download clean once and answers its record.
    std::string ScannedClean(const std::wstring& file) {
        EXPECT_EQ(Handle(file), kSOk);
        EXPECT_EQ(recorded_.scans.size(), 1u);
        return ReadStream(file, L"varnok").value_or("");
    }

    // Handles one event and tells whether the file was scanned.
    bool ScannedAgain(const std::wstring& file) {
        Forget();
        EXPECT_EQ(Handle(file), kSOk);
        EXPECT_EQ(Verdicts(), std::vector<std::int32_t>{kVerdictNoScan});
        return recorded_.scans.size() == 1;
    }
};

// Records that a file can arrive with, by archive, copy or restore: a clean result in any spelling,
// and one with the file's true identity and version that its publisher can compute, sealed with a
// key that is not this client's. Each is scanned; the library's record replaces it, and spares the
// next event.
TEST_F(RecordTrustTest, PlantedCleanRecordIsScannedThenReplaced) {
    std::unique_ptr<RecordKey> other_key;
    ASSERT_EQ(RecordKey::Create(other_key), kSOk);
    const std::wstring forged = Download(L"forged.exe");
    const FileFacts facts = FactsOfFile(forged);
    const ScanRecord claim{IdentityOfFile(forged), facts.version, kVerdictNoScan};
    std::wstring sealed_elsewhere = L"ScanResult=2\n";
    SetRecordSeal(sealed_elsewhere, claim, *other_key->SealOf(claim));

    int round = 0;
    for (const std::string& planted :
         {std::string("ScanResult=2\r\n"), std::string("ScanResult=02\r\n"), std::string("ScanResult= 2\r\n"),
          std::string("ScanResult=2x\r\n"), EncodeStreamText(sealed_elsewhere)}) {
        SCOPED_TRACE(planted);
        const std::wstring file = round == 4 ? forged : Download(L"planted" + std::to_wstring(round) + L".exe");
        ++round;
        WriteStream(file, L"varnok", planted);
        SetLastWrite(file, facts.version.last_write_time);
        EXPECT_TRUE(ScannedAgain(file));
        // The planted line stays where it was, with the library's value.
        EXPECT_EQ(WithoutSeal(ReadStream(file, L"varnok").value_or("")),
                  "ScanResult=2\r\nHostUrl=" + Narrow(kDownloadHost) + "\r\nFileName=" + Narrow(file) + "\r\n");
        EXPECT_FALSE(ScannedAgain(file));
    }
}

// The library's own clean record, copied with the streams onto another file with the same content,
// size and last-write time, names the other file: that file is scanned. The original is spared.
TEST_F(RecordTrustTest, RecordCopiedOntoAnotherFileIsScanned) {
    const std::wstring original = Download(L"original.exe");
    const std::string record = ScannedClean(original);
    const std::wstring copy = Download(L"copy.exe");
    WriteStream(copy, L"varnok", record);
    SetLastWrite(copy, FactsOfFile(original).version.last_write_time);
    EXPECT_EQ(FactsOfFile(copy).version, FactsOfFile(original).version);
    EXPECT_TRUE(ScannedAgain(copy));
    EXPECT_FALSE(ScannedAgain(original));
}

// A file written after its clean scan, in place at the same size or grown, is scanned again.
TEST_F(RecordTrustTest, FileRewrittenAfterItsCleanScanIsScanned) {
    for (const bool same_size : {true, false}) {
        const std::wstring file = Download(same_size ? L"rewritten.exe" : L"grown.exe");
        ScannedClean(file);
        Rewrite(file, same_size ? "CONTENT" : "content, and more of it");
        EXPECT_TRUE(ScannedAgain(file)) << same_size;
        EXPECT_FALSE(ScannedAgain(file)) << same_size;
    }
}

// A change while the scan runs, whatever the scan then says, leaves no record that spares the
// changed content: the result is sealed for the content the scan began with. So also when a newer
// event of the file is scanned meanwhile and finishes first: the older scan's record, written last,
// spares nothing it did not see.
TEST_F(RecordTrustTest, FileChangedWhileItsScanRunsIsScanned) {
    const std::wstring file = Download(L"changing.exe");
    recorded_.on_scan = [](const std::wstring& scanned) { Rewrite(scanned, "CHANGED"); };
    EXPECT_TRUE(ScannedAgain(file));
    recorded_.on_scan = nullptr;
    EXPECT_TRUE(ScannedAgain(file));
    EXPECT_FALSE(ScannedAgain(file));

    const std::wstring overtaken = Download(L"overtaken.exe");
    bool inner_done = false;
    recorded_.on_scan = [&](const std::wstring& scanned) {
        if (inner_done) {
            return;
        }
        inner_done = true;
        Rewrite(scanned, "NEWER!!");
        EXPECT_EQ(Handle(scanned), kSOk);  // the newer event, scanned clean and recorded first
    };
    Forget();
    EXPECT_EQ(Handle(overtaken), kSOk);
    EXPECT_EQ(recorded_.scans.size(), 2u);
    recorded_.on_scan = nullptr;
    EXPECT_TRUE(ScannedAgain(overtaken));
}

// A spared event writes nothing: not even the HostUrl of a Zone.Identifier that has changed since
// the record (its rewrite moved the file's time, which is set back here as a restore would).
TEST_F(RecordTrustTest, OwnRecordOnAnUnchangedFileSparesTheScanAndWritesNothing) {
    const std::wstring file = Download(L"spared.exe");
    const std::string record = ScannedClean(file);
    const FileVersion scanned_version = FactsOfFile(file).version;
    WriteStream(file, L"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://elsewhere.example/\r\n");
    SetLastWrite(file, scanned_version.last_write_time);
    EXPECT_FALSE(ScannedAgain(file));
    EXPECT_EQ(ReadStream(file, L"varnok"), record);
    EXPECT_EQ(FactsOfFile(file).version, scanned_version);
    EXPECT_TRUE(recorded_.log.size() == 1 && recorded_.results.empty());
}

// A new key, as every start of the client makes, trusts no record of the old one: the file is
// scanned once, then spared again.
TEST_F(RecordTrustTest, NewKeyScansOnceThenSpares) {
    const std::wstring file = Download(L"restarted.exe");
    ScannedClean(file);
    std::unique_ptr<RecordKey> restarted;
    ASSERT_EQ(RecordKey::Create(restarted), kSOk);
    for (const bool expect_scan : {true, false, false}) {
        Forget();
        EXPECT_EQ(HandleWithKey(file, *restarted), kSOk);
        EXPECT_EQ(recorded_.scans.size(), expect_scan ? 1u : 0u);
    }
}

// The record is in the stream when the driver hears the verdict: what the driver sees, read as it
// receives the verdict, already holds the scan's result.
TEST_F(RecordTrustTest, RecordIsWrittenBeforeTheVerdictIsSent) {
    const std::wstring file = Download(L"ordered.exe");
    std::string at_send;
    recorded_.on_send = [&] { at_send = ReadStream(file, L"varnok").value_or(""); };
    recorded_.scan_verdict = 5;
    EXPECT_EQ(Handle(file), kSOk);
    EXPECT_EQ(WithoutSeal(at_send), Record(kDownloadHost, 5, file));
    EXPECT_NE(at_send, WithoutSeal(at_send));  // sealed too
}

// The check itself: a record sealed for the judged file as it is holds a trusted clean result, and
// changing any bound field, the result, the seal or the key makes it hold none. The seal covers each
// field on its own account: the seal of the file as it is never verifies any other facts.
TEST_F(RecordTrustTest, ChangingAnyBoundFieldOrTheResultFailsTheCheck) {
    const std::wstring file = Download(L"checked.exe");
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
