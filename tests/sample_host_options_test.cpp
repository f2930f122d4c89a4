// The configuration options the sample host and the demo share: a value the driver cannot take is
// refused rather than wrapped, and a text longer than ConfigText is cut, never written past it.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "tools/sample_host/host_options.h"

namespace sample_host {
namespace {

// Runs TakeConfigOption over the arguments as a program's loop does; the use of the last one.
struct Parsed {
    OptionUse last_use = OptionUse::kNotMine;
    int index = 0;
    ConfigOptions options;
    std::wstring error;
};

Parsed Parse(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"program");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) {
        argv.push_back(argument.data());
    }
    Parsed parsed;
    const int argc = static_cast<int>(argv.size());
    for (parsed.index = 1; parsed.index < argc; ++parsed.index) {
        parsed.last_use = TakeConfigOption(argc, argv.data(), parsed.index, parsed.options, parsed.error);
        if (parsed.last_use != OptionUse::kTaken) {
            break;
        }
    }
    return parsed;
}

TEST(ConfigOptionsTest, TakesEachOptionWithItsValue) {
    const Parsed parsed = Parse({L"--config", L"policy --value1", L"--value1", L"0x10", L"--value2", L"4294967295"});
    EXPECT_EQ(parsed.last_use, OptionUse::kTaken);
    EXPECT_EQ(parsed.index, 7);
    EXPECT_EQ(parsed.options.config_text, L"policy --value1");
    EXPECT_EQ(parsed.options.config_value1, 16u);
    EXPECT_EQ(parsed.options.config_value2, 4294967295u);
}

TEST(ConfigOptionsTest, RefusesValuesTheDriverCannotTakeAndLeavesOthersAlone) {
    for (const wchar_t* value : {L"4294967296", L"-18446744073709551615", L"12abc", L""}) {
        const Parsed parsed = Parse({L"--value2", value});
        EXPECT_EQ(parsed.last_use, OptionUse::kInvalid) << value;
        EXPECT_NE(parsed.error.find(L"--value2"), std::wstring::npos) << value;
    }
    EXPECT_EQ(Parse({L"--config"}).last_use, OptionUse::kNotMine);  // no value follows
    EXPECT_EQ(Parse({L"--simulate"}).last_use, OptionUse::kNotMine);
}

TEST(ConfigOptionsTest, ConfigTextIsCutToWhatTheRecordHolds) {
    constexpr std::size_t kUnits = sizeof(DriverConfig::ConfigText) / sizeof(wchar_t);
    ConfigOptions options;
    options.config_text = std::wstring(kUnits - 1, L'a');
    options.config_value1 = 7;
    DriverConfig config = MakeConfig(options);
    EXPECT_EQ(std::wstring(config.ConfigText), options.config_text);
    EXPECT_EQ(config.ConfigValue1, 7u);

    options.config_text = std::wstring(kUnits + 100, L'b');
    config = MakeConfig(options);
    EXPECT_EQ(std::wcslen(config.ConfigText), kUnits - 1);
    EXPECT_EQ(config.ConfigText[kUnits - 1], L'\0');
}

}  // namespace
}  // namespace sample_host
