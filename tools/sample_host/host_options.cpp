#include "tools/sample_host/host_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tools/sample_host/console.h"

namespace sample_host {
namespace {

// Units of ConfigText before its NUL.
constexpr std::size_t kConfigTextMax = sizeof(DriverConfig::ConfigText) / sizeof(wchar_t) - 1;

bool ParseValue(const wchar_t* text, std::uint32_t& value) {
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::wcstoull(text, &end, 0);
    if (errno != 0 || end == text || *end != L'\0' || parsed > 0xFFFFFFFFull || text[0] == L'-') {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

}  // namespace

OptionUse TakeConfigOption(int argc, wchar_t** argv, int& index, ConfigOptions& options, std::wstring& error) {
    const std::wstring option = argv[index];
    const bool has_value = index + 1 < argc;
    if (option == L"--config" && has_value) {
        options.config_text = argv[++index];
        return OptionUse::kTaken;
    }
    if ((option == L"--value1" || option == L"--value2") && has_value) {
        std::uint32_t& value = option == L"--value1" ? options.config_value1 : options.config_value2;
        if (!ParseValue(argv[++index], value)) {
            error = option + L" takes a number from 0 to 4294967295, not " + argv[index];
            return OptionUse::kInvalid;
        }
        return OptionUse::kTaken;
    }
    return OptionUse::kNotMine;
}

DriverConfig MakeConfig(const ConfigOptions& options) {
    DriverConfig config{};  // the flags keep the type's defaults
    if (options.config_text.size() > kConfigTextMax) {
        PrintErrorLine(L"The configuration text is cut to its first " + std::to_wstring(kConfigTextMax) +
                       L" characters.");
    }
    std::copy_n(options.config_text.data(), std::min(options.config_text.size(), kConfigTextMax), config.ConfigText);
    config.ConfigValue1 = options.config_value1;
    config.ConfigValue2 = options.config_value2;
    return config;
}

}  // namespace sample_host
