// The sample host's scanner: it must find the real antivirus test string wherever it lies in a
// file, call nothing else a find, and keep a file it could not read from being remembered as clean.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/test_files.h"
#include "tools/sample_host/scanner.h"

namespace sample_host {
namespace {

constexpr std::size_t kChunk = 64 * 1024;  // what the scanner reads at once

// Found wherever it lies, across the boundary of two reads too; pieces of it are no find.
TEST(ScannerTest, FindsTheStandardTestStringAnywhereAndNothingElse) {
    const std::string test_string = AntivirusTestString();
    // FNV-1a: checks the assembled text against the real one without writing that one down here.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : test_string) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    EXPECT_EQ(hash, 0x4c4b83eef5c7ac63ULL);

    struct Case {
        std::string content;
        std::int32_t verdict;
    };
    const std::string filler(kChunk - 10, 'a');
    const Case cases[] = {
        {"header " + test_string + "\r\n", kVerdictTestFileFound},
        {filler + test_string, kVerdictTestFileFound},
        {std::string(3 * kChunk + 5, 'a') + test_string, kVerdictTestFileFound},
        {"", kVerdictClean},
        {test_string.substr(0, test_string.size() - 1), kVerdictClean},
        {filler + test_string.substr(0, 10) + "x" + test_string.substr(10), kVerdictClean},
    };
    const varnok::test::TempFolder folder;
    for (const Case& c : cases) {
        EXPECT_EQ(ScanFile(folder.File(L"scanned.bin", c.content)), c.verdict) << c.content.size();
    }
}

TEST(ScannerTest, UnreadableFileIsNotCalledClean) {
    const varnok::test::TempFolder folder;
    EXPECT_EQ(ScanFile((folder.path / L"missing.exe").wstring()), kVerdictNotRead);
    const std::wstring locked = folder.File(L"locked.exe");
    {
        const varnok::UniqueHandle exclusive =
            varnok::test::OpenName(locked, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
        ASSERT_TRUE(exclusive);
        EXPECT_EQ(ScanFile(locked), kVerdictNotRead);
    }
    EXPECT_EQ(ScanFile(locked), kVerdictClean);
}

}  // namespace
}  // namespace sample_host
