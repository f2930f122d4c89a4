// The configuration options the sample host and the demo share: a value the driver cannot take is
// refused rather than wrapped, and a text longer than ConfigText is cut, never written past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/sample_host/host_options.h"

namespace sample_host {
namespace {

// Runs TakeConfigOption over the arguments as a program's loop does, up to the first one it does
// not take: the use of that one, or kTaken when it took them all.
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

TEST(ConfigOptionsTest, TakesEachOptionWithItsValueAndRefusesWhatTheDriverCannotTake) {
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
}

TEST(ConfigOptionsTest, ConfigTextIsCutToWhatTheRecordHolds) {
    constexpr std::size_t kUnits = sizeof(DriverConfig::ConfigText) / sizeof(wchar_t);
    for (const std::size_t length : {kUnits - 1, kUnits + 100}) {
        ConfigOptions options;
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
