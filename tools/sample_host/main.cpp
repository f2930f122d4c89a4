// The sample host: a small program that uses varnokclient.dll the way a real host does, and a demo
// of the library that runs without the driver (--simulate). Start here to see the exports in use.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "tools/sample_host/console.h"
#include "tools/sample_host/demo.h"
#include "tools/sample_host/host.h"
#include "unique_handle.h"

namespace sample_host {
namespace {

constexpr std::size_t kConfigTextMax = 1023;  // units of ConfigText before its NUL

constexpr wchar_t kUsage[] =
    L"Usage: sample_host [--config TEXT] [--value1 N] [--value2 N]\n"
    L"       sample_host --simulate [FOLDER] [--config TEXT] [--value1 N] [--value2 N]\n"
    L"\n"
    L"A sample host of varnokclient.dll. It loads the library from its own folder, prints its\n"
    L"version, starts it with FilterInit and prints every log message and verdict until Ctrl+C,\n"
    L"then stops it with ClientDisconnect. Its scanner finds the standard antivirus test file\n"
    L"(verdict 1); any other file is clean (verdict 2), and one it cannot read gets 3.\n"
    L"\n"
    L"On Windows it runs against the real Varnok driver, which must be loaded and listening on\n"
    L"its port \\VarnokScanPort.\n"
    L"\n"
    L"  --simulate [FOLDER]  A demo without the driver. It needs the driver simulator's fltlib.dll\n"
    L"                       in place of the system's (beside this program; under Wine,\n"
    L"                       cmake/wine-run arranges that). The program then plays the driver: it\n"
    L"                       builds a sample folder that leads to every decision of the library\n"
    L"                       (or takes every file of FOLDER), sends one file event per file, waits\n"
    L"                       for each verdict and prints a table. Exits 0 when every event got its\n"
    L"                       verdict (and, for the sample folder, the expected one), else 1.\n"
    L"  --config TEXT        ConfigText of the DriverConfig (at most 1023 characters; default empty)\n"
    L"  --value1 N           ConfigValue1 (default 0)\n"
    L"  --value2 N           ConfigValue2 (default 0)\n"
    L"  --help               This text.";

struct Options {
    bool help = false;
    bool simulate = false;
    std::optional<std::wstring> folder;
    std::wstring config_text;
    std::uint32_t config_value1 = 0;
    std::uint32_t config_value2 = 0;
};

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

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool has_value = i + 1 < argc;
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
        } else if (option == L"--simulate") {
            options.simulate = true;
            if (has_value && std::wstring_view(argv[i + 1]).substr(0, 2) != L"--") {
                options.folder = argv[++i];
            }
        } else if (option == L"--config" && has_value) {
            options.config_text = argv[++i];
        } else if ((option == L"--value1" || option == L"--value2") && has_value) {
            std::uint32_t& value = option == L"--value1" ? options.config_value1 : options.config_value2;
            if (!ParseValue(argv[++i], value)) {
                error = option + L" takes a number from 0 to 4294967295, not " + argv[i];
                return false;
            }
        } else {
            error = L"Unknown option or missing value: " + option;
            return false;
        }
    }
    return true;
}

DriverConfig MakeConfig(const Options& options) {
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

// Set by Ctrl+C, Ctrl+Break or closing the console window; the main thread then stops the library.
HANDLE g_hStop = nullptr;
// Set once the library is stopped: closing the window ends the process when the handler returns.
HANDLE g_hStopped = nullptr;
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleControl(DWORD control) {
    switch (control) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ::SetEvent(g_hStop);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            ::SetEvent(g_hStop);
            ::WaitForSingleObject(g_hStopped, kCloseGraceMs);
            return TRUE;
        default:
            return FALSE;
    }
}

std::wstring StartFailureHint(long result) {
    switch (static_cast<std::uint32_t>(result)) {
        case 0x80070002u:
            return L" (no port \\VarnokScanPort: is the Varnok driver loaded?)";
        case 0x80070005u:
            return L" (access denied: the driver's port admits privileged processes only)";
        case 0x800704DFu:
            return L" (the library is already running in this process)";
        default:
            return L"";
    }
}

// The host's life: start, run until asked to stop, stop.
int RunHost(const ClientLibrary& library, const DriverConfig& config) {
    const long started = library.pFilterInit(&config, OnScan, OnScanResult, OnLog);
    if (started != 0) {
        PrintErrorLine(L"FilterInit failed: " + HexText(static_cast<std::uint32_t>(started)) +
                       StartFailureHint(started));
        return 1;
    }
    PrintLine(L"Running; press Ctrl+C to stop.");
    ::WaitForSingleObject(g_hStop, INFINITE);
    // Never from a callback: it waits for the callbacks in progress.
    const long disconnected = library.pClientDisconnect();
    PrintLine(L"ClientDisconnect: " + HexText(static_cast<std::uint32_t>(disconnected)));
    return disconnected == 0 ? 0 : 1;
}

int Run(int argc, wchar_t** argv) {
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) {
        PrintErrorLine(error);
        PrintErrorLine(kUsage);
        return 2;
    }
    if (options.help) {
        PrintLine(kUsage);
        return 0;
    }

    const varnok::UniqueHandle hStop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const varnok::UniqueHandle hStopped(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!hStop || !hStopped) {
        PrintErrorLine(L"Could not create an event (error " + std::to_wstring(::GetLastError()) + L")");
        return 2;
    }
    g_hStop = hStop.get();
    g_hStopped = hStopped.get();
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    int exit_code = 2;
    {
        ClientLibrary library;
        if (!LoadClientLibrary(library, error)) {
            PrintErrorLine(error);
        } else {
            PrintLine(L"varnokclient " + WidenBytes(library.pGetVersion()));
            const DriverConfig config = MakeConfig(options);
            if (!options.simulate) {
                exit_code = RunHost(library, config);
            } else if (SimulatorApi simulator; LoadSimulatorApi(simulator)) {
                exit_code = RunDemo(library, simulator, config, options.folder, hStop.get());
            } else {
                PrintErrorLine(
                    L"--simulate needs the driver simulator's fltlib.dll, and the library loaded the "
                    L"system's Filter Manager library. Put the simulator's fltlib.dll beside this program.");
            }
        }
    }  // the library is unloaded here, after ClientDisconnect ended its threads

    ::SetEvent(hStopped.get());
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    return exit_code;
}

}  // namespace
}  // namespace sample_host

int wmain(int argc, wchar_t** argv) { return sample_host::Run(argc, argv); }
