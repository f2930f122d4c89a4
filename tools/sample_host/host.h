// The host's side of the library: varnokclient.dll loaded at run time, and the three callbacks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "varnokclient.h"

namespace sample_host {

struct ModuleRelease {
    void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleRelease>;

// The library's exports, looked up by name. The types come from varnokclient.h.
struct ClientLibrary {
    UniqueModule module;
    decltype(&::FilterInit) filter_init = nullptr;
    decltype(&::SetDriverConfiguration) set_driver_configuration = nullptr;
    decltype(&::ClientDisconnect) client_disconnect = nullptr;
    VarnokGetVersionFn get_version = nullptr;
};

// The folder of this program, with a trailing backslash.
std::wstring ProgramFolder();

// Loads varnokclient.dll from this program's folder (never from the search path, where another
// file of that name could stand in) and looks up its exports. On failure, says why in `error`.
bool LoadClientLibrary(ClientLibrary& library, std::wstring& error);

// The callbacks given to FilterInit. They run on up to 25 of the library's threads at once and copy
// what they keep: the library's strings are valid only during the call.
std::int32_t OnScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1);
void OnScanResult(const wchar_t* path, std::int32_t verdict);
void OnLog(std::uint32_t level, const wchar_t* text);

// "INFO", "WARN", "ERROR", or "LEVEL <n>" for a value the header does not name.
std::wstring LevelName(std::uint32_t level);

}  // namespace sample_host
