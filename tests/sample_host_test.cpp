// The sample host: its scanner, which finds the test string only and calls no unread file clean, and its options.
#include "tests/support/test_files.h"
#include "tools/sample_host/host_options.h"
#include "tools/sample_host/scanner.h"

namespace sample_host {
namespace {

constexpr std::size_t kChunk = 64 * 1024;  // what the scanner reads at once

// Found wherever it lies, across two reads too; pieces of it are no find; an unreadable file is none.
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

// TakeConfigOption over the arguments: the use of the first it does not take, or kTaken.
OptionUse Parse(std::vector<std::wstring> arguments, ConfigOptions& options, std::wstring& error) {
    std::vector<wchar_t*> argv = {nullptr};
    for (std::wstring& argument : arguments) {
        argv.push_back(argument.data());
    }
    OptionUse use = OptionUse::kTaken;
    for (int index = 1; index < static_cast<int>(argv.size()) && use == OptionUse::kTaken; ++index) {
        use = TakeConfigOption(static_cast<int>(argv.size()), argv.data(), index, options, error);
    }
    return use;
}

TEST(ConfigOptionsTest, TakesEachOptionRefusesWhatTheDriverCannotTakeAndCutsTheText) {
    ConfigOptions options;
    std::wstring error;
    EXPECT_EQ(
        Parse({L"--config", L"policy --value1", L"--value1", L"0x10", L"--value2", L"4294967295"}, options, error),
        OptionUse::kTaken);
    EXPECT_EQ(options.config_text, L"policy --value1");
    EXPECT_EQ(options.config_value1, 16U);
    EXPECT_EQ(options.config_value2, 4294967295U);

    for (const wchar_t* value : {L"4294967296", L"-18446744073709551615", L"12abc", L""}) {
        std::wstring refusal;
        EXPECT_EQ(Parse({L"--value2", value}, options, refusal), OptionUse::kInvalid) << value;
        EXPECT_NE(refusal.find(L"--value2"), std::wstring::npos) << value;
    }
    EXPECT_EQ(Parse({L"--config"}, options, error), OptionUse::kNotMine);  // no value follows
    EXPECT_EQ(Parse({L"--simulate"}, options, error), OptionUse::kNotMine);

    constexpr std::size_t kUnits = sizeof(DriverConfig::ConfigText) / sizeof(wchar_t);
    for (const std::size_t length : {kUnits - 1, kUnits + 100}) {
        options.config_text = std::wstring(length, L'b');
        options.config_value1 = 7;
        const DriverConfig config = MakeConfig(options);
        EXPECT_EQ(std::wstring(config.ConfigText, std::find(config.ConfigText, config.ConfigText + kUnits, L'\0')),
                  options.config_text.substr(0, kUnits - 1));  // and a NUL within the record
        EXPECT_EQ(config.ConfigValue1, 7U);
    }
}

}  // namespace
}  // namespace sample_host
