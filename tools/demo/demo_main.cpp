// The demo of varnokclient.dll without the driver: it loads the library as the sample host does
// and plays the driver itself through the driver simulator's fltlib.dll.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "tools/demo/demo_driver.h"
#include "tools/demo/demo_run.h"
#include "tools/sample_host/console.h"
#include "tools/sample_host/console_stop.h"
#include "tools/sample_host/host.h"
#include "tools/sample_host/host_options.h"

namespace demo {
namespace {

using sample_host::PrintErrorLine;
using sample_host::PrintLine;

constexpr wchar_t kUsageHead[] =
    L"Usage: varnok_demo [FOLDER] [--config TEXT] [--value1 N] [--value2 N]\n"
    L"\n"
    L"A demo of varnokclient.dll without the driver. It needs the driver simulator's fltlib.dll in\n"
    L"place of the system's (beside this program; under Wine, cmake/wine-run arranges that). It loads\n"
    L"the library as the sample host does, prints its version and plays the driver: it builds a\n"
    L"sample folder that leads to every decision of the library (or takes every file of FOLDER),\n"
    L"sends one file event per file, waits for each verdict and prints a table. Its scanner is the\n"
    L"sample host's: it finds the standard antivirus test file (verdict 1); any other file is clean\n"
    L"(verdict 2). Exits 0 when every event got its verdict (and, for the sample folder, the\n"
    L"expected one), else 1.\n"
    L"\n";

struct Options {
    bool help = false;
    std::optional<std::wstring> folder;
    sample_host::ConfigOptions config;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
            continue;
        }
        if (!options.folder && std::wstring_view(option).substr(0, 2) != L"--") {
            options.folder = option;
            continue;
        }
        switch (sample_host::TakeConfigOption(argc, argv, i, options.config, error)) {
            case sample_host::OptionUse::kTaken:
                continue;
            case sample_host::OptionUse::kInvalid:
                return false;
            case sample_host::OptionUse::kNotMine:
                error = L"Unknown option or missing value: " + option;
                return false;
        }
    }
    return true;
}

int Run(int argc, wchar_t** argv) {
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) {
        PrintErrorLine(error);
        PrintErrorLine(std::wstring(kUsageHead) + sample_host::kConfigOptionsUsage);
        return 2;
    }
    if (options.help) {
        PrintLine(std::wstring(kUsageHead) + sample_host::kConfigOptionsUsage);
        return 0;
    }

    sample_host::ConsoleStop console_stop;
    if (!sample_host::InstallConsoleStop(console_stop)) {
        PrintErrorLine(L"Could not create an event (error " + std::to_wstring(::GetLastError()) + L")");
        return 2;
    }
    int exit_code = 2;
    {
        sample_host::ClientLibrary library;
        if (!sample_host::LoadClientLibrary(library, error)) {
            PrintErrorLine(error);
        } else {
            PrintLine(L"varnokclient " + sample_host::WidenBytes(library.get_version()));
            if (SimulatorApi simulator; LoadSimulatorApi(simulator)) {
                exit_code = RunDemo(library, simulator, sample_host::MakeConfig(options.config), options.folder,
                                    console_stop.stop.Get());
            } else {
                PrintErrorLine(
                    L"The demo needs the driver simulator's fltlib.dll, and the library loaded the system's "
                    L"Filter Manager library. Put the simulator's fltlib.dll beside this program.");
            }
        }
    }  // the library is unloaded here, after ClientDisconnect ended its threads
    sample_host::RemoveConsoleStop(console_stop);
    return exit_code;
}

}  // namespace
}  // namespace demo

// The entry point keeps the name the toolchain looks for.
int wmain(int argc, wchar_t** argv) { return demo::Run(argc, argv); }  // NOLINT(readability-identifier-naming)
