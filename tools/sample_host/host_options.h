// The driver configuration a host starts the library with, from its command line: the options
// --config, --value1 and --value2 that the sample host and the demo both take.
#pragma once

#include <cstdint>
#include <string>

#include "varnokclient.h"

namespace sample_host {

struct ConfigOptions {
    std::wstring config_text;
    std::uint32_t config_value1 = 0;
    std::uint32_t config_value2 = 0;
};

enum class OptionUse { kNotMine, kTaken, kInvalid };

// Takes argv[index] with its value when it is one of the configuration options, and moves index
// onto the value. kInvalid, with the reason in `error`, when the value is no number it can take.
OptionUse TakeConfigOption(int argc, wchar_t** argv, int& index, ConfigOptions& options, std::wstring& error);

// The DriverConfig of the options; a text longer than ConfigText can hold is cut, with a warning.
DriverConfig MakeConfig(const ConfigOptions& options);

// The usage lines of the configuration options.
inline constexpr wchar_t kConfigOptionsUsage[] =
    L"  --config TEXT        ConfigText of the DriverConfig (at most 1023 characters; default empty)\n"
    L"  --value1 N           ConfigValue1 (default 0)\n"
    L"  --value2 N           ConfigValue2 (default 0)\n"
    L"  --help               This text.";

}  // namespace sample_host
