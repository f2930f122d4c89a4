#include "scan/stream_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "client/unique_handle.h"
#include "scan/stream_text.h"
#include "tests/support/scratch_folder.h"

namespace varnok {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

UniqueHandle Open(const std::wstring& name, DWORD access, DWORD share, DWORD disposition) {
    return UniqueHandle(::CreateFileW(name.c_str(), access, share, nullptr, disposition, 0, nullptr));
}

void WriteRaw(HANDLE hFile, const std::string& bytes) {
    DWORD done = 0;
    ASSERT_TRUE(::WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    ASSERT_EQ(done, bytes.size());
}

void WriteRaw(const std::wstring& name, const std::string& bytes) {
    WriteRaw(Open(name, GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS).get(), bytes);
}

std::optional<std::string> ReadRaw(const std::wstring& name) {
    std::string bytes(2 * kStreamReadLimit, '\0');
    DWORD done = 0;
    const UniqueHandle hFile = Open(name, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
    if (!hFile || !::ReadFile(hFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(done);
    return bytes;
}

// A downloaded file of its own for each test; its "Zone.Identifier" stream does not exist yet.
class StreamFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test::ScratchRoot() / ("varnok_stream_" + std::to_string(::GetCurrentProcessId()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        file_ = (folder_ / L"setup.exe").wstring();
        WriteRaw(file_, "MZ");
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(folder_, error);
    }

    [[nodiscard]] std::wstring Zone() const { return file_ + L":Zone.Identifier"; }

    std::filesystem::path folder_;
    std::wstring file_;
};

TEST_F(StreamFileTest, LoadsStoredBytesAsTextAndReadsValues) {
    WriteRaw(Zone(),
             "ZoneId=3\r\nHostUrl=abc\r\nNote=a\rb\r\nKey=sun\r\n\x1A"
             "ZoneId=4\r\n");
    StreamFile stream(file_, L"Zone.Identifier", false);
    EXPECT_TRUE(stream.text.empty());
    ASSERT_TRUE(stream.Load());
    EXPECT_EQ(stream.text, L"ZoneId=3\nHostUrl=abc\nNote=a\rb\nKey=sun\n");
    std::wstring value;
    EXPECT_TRUE(stream.GetValue(L"ZoneId", value) && value == L"3");
    EXPECT_TRUE(stream.GetValue(L"Key", value) && value == L"un");
    EXPECT_FALSE(stream.GetValue(L"ReferrerUrl", value));
    EXPECT_FALSE(stream.GetValue(L"(", value));
    EXPECT_EQ(value, L"un");
}

TEST_F(StreamFileTest, CreatesAMissingStreamOnlyWhenAsked) {
    StreamFile reader(file_, L"Zone.Identifier", false);
    reader.text = L"kept";
    EXPECT_FALSE(reader.Load());
    EXPECT_EQ(reader.text, L"kept");
    EXPECT_FALSE(ReadRaw(Zone()));

    StreamFile creator(file_, L"Zone.Identifier", true);
    creator.text = L"kept";
    EXPECT_TRUE(creator.Load());
    EXPECT_EQ(creator.text, L"kept");
    EXPECT_EQ(ReadRaw(Zone()), "");
    EXPECT_TRUE(creator.Load());
    EXPECT_EQ(creator.text, L"");

    // Nor is a name that no file can have.
    StreamFile invalid((folder_ / L"a|b").wstring(), L"Zone.Identifier", true);
    invalid.text = L"kept";
    EXPECT_FALSE(invalid.Load());
    EXPECT_EQ(invalid.text, L"kept");
}

TEST_F(StreamFileTest, SaveReplacesTheWholeStreamWithItsBytes) {
    WriteRaw(Zone(), "ZoneId=3\r\nHostUrl=" + std::string(100, 'x') + "\r\n");
    StreamFile stream(file_, L"Zone.Identifier", false);
    ASSERT_TRUE(stream.Load());
    stream.SetValue(L"HostUrl", L"$1$$");
    stream.SetValue(L"FileName", L"\x0416.txt");
    stream.SetValue(L"ReferrerUrl", L"r");
    stream.Save();
    EXPECT_EQ(ReadRaw(Zone()), "ZoneId=3\r\nHostUrl=$1$$\r\nFileName=?.txt\r\nReferrerUrl=r\r\n");
}

TEST_F(StreamFileTest, SharesTheStreamWithOtherHandles) {
    {
        const UniqueHandle hOther = Open(Zone(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS);
        WriteRaw(hOther.get(), "ZoneId=3\r\n");
        StreamFile stream(file_, L"Zone.Identifier", false);
        ASSERT_TRUE(stream.Load());
        stream.SetValue(L"ZoneId", L"4");
        stream.Save();
        EXPECT_EQ(ReadRaw(Zone()), "ZoneId=4\r\n");
    }
    // A handle that shares nothing keeps the stream from being read or written, as a read-only
    // file does: nothing changes.
    StreamFile stream(file_, L"Zone.Identifier", false);
    stream.text = L"ZoneId=5\n";
    {
        const UniqueHandle hExclusive = Open(Zone(), GENERIC_READ, 0, OPEN_EXISTING);
        ASSERT_TRUE(hExclusive);
        EXPECT_FALSE(stream.Load());
        stream.Save();
    }
    EXPECT_EQ(stream.text, L"ZoneId=5\n");
    EXPECT_EQ(ReadRaw(Zone()), "ZoneId=4\r\n");
}

TEST_F(StreamFileTest, ReadsAStreamUpToTheLimitWholeAndOnlyTheLimitOfALongerOne) {
    std::string bytes = "ZoneId=3\r\nHostUrl=https://";
    std::wstring url = L"https://";
    for (std::size_t i = 0; bytes.size() < kStreamReadLimit - 2; ++i) {
        const char c = static_cast<char>('!' + i % 90);
        bytes.push_back(c);
        url.push_back(static_cast<wchar_t>(c));
    }
    WriteRaw(Zone(), bytes + "\r\n");
    StreamFile stream(file_, L"Zone.Identifier", false);
    ASSERT_TRUE(stream.Load());
    std::wstring value;
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == url);
    stream.SetValue(L"HostUrl", L"x" + url);
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == L"x" + url);
    EXPECT_TRUE(stream.GetValue(L"ZoneId", value) && value == L"3");

    // One byte more: the first kStreamReadLimit bytes are the text, as if the stream ended there,
    // so the CR before the cut stays a CR.
    WriteRaw(Zone(), bytes + "x\r\nZoneId=4\r\n");
    ASSERT_TRUE(stream.Load());
    EXPECT_EQ(stream.text.size(), kStreamReadLimit - 1);
    EXPECT_EQ(stream.text.back(), L'\r');
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == url + L"x");
}

}  // namespace
}  // namespace varnok
