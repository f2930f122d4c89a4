// The sample host's scanner: it must find the real antivirus test string wherever it lies in a
// file, call nothing else a find, and keep a file it could not read from being remembered as clean.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/scratch_folder.h"
#include "tools/sample_host/scanner.h"

namespace sample_host {
namespace {

// FNV-1a: checks the assembled text against the real one without writing that one down here.
std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = varnok::test::ScratchRoot() / (L"varnok-scanner-test-" + std::to_wstring(::GetCurrentProcessId()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::wstring File(const std::wstring& name, const std::string& content) const {
        const std::filesystem::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.wstring();
    }

    std::filesystem::path folder_;
};

TEST_F(ScannerTest, AssemblesTheStandardTestString) {
    const std::string text = AntivirusTestString();
    EXPECT_EQ(text.size(), 68u);
    EXPECT_EQ(Fnv1a(text), 0x4c4b83eef5c7ac63ULL);
}

// Found wherever it lies, across the boundary of two reads too; pieces of it are no find.
TEST_F(ScannerTest, FindsTheWholeStringAnywhereAndNothingElse) {
    const std::string test_string = AntivirusTestString();
    const std::size_t chunk = 64 * 1024;
    EXPECT_EQ(ScanFile(File(L"padded.com", "header " + test_string + "\r\n")), kVerdictTestFileFound);
    EXPECT_EQ(ScanFile(File(L"split.bin", std::string(chunk - 10, 'a') + test_string)), kVerdictTestFileFound);
    EXPECT_EQ(ScanFile(File(L"tail.bin", std::string(3 * chunk + 5, 'a') + test_string)), kVerdictTestFileFound);

    EXPECT_EQ(ScanFile(File(L"empty.txt", "")), kVerdictClean);
    EXPECT_EQ(ScanFile(File(L"cut.com", test_string.substr(0, test_string.size() - 1))), kVerdictClean);
    EXPECT_EQ(ScanFile(File(L"pieces.bin",
                            std::string(chunk - 10, 'a') + test_string.substr(0, 10) + "x" + test_string.substr(10))),
              kVerdictClean);
}

TEST_F(ScannerTest, UnreadableFileIsNotCalledClean) {
    EXPECT_EQ(ScanFile((folder_ / L"missing.exe").wstring()), kVerdictNotRead);
    const std::wstring locked = File(L"locked.exe", "content");
    const HANDLE hExclusive =
        ::CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hExclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ScanFile(locked), kVerdictNotRead);
    ::CloseHandle(hExclusive);
    EXPECT_EQ(ScanFile(locked), kVerdictClean);
}

}  // namespace
}  // namespace sample_host
