#include "tools/sample_host/host.h"

#include "tools/sample_host/console.h"
#include "tools/sample_host/scanner.h"

namespace sample_host {
namespace {

template <class Function>
bool LookUp(HMODULE module, const char* name, Function& function, std::wstring& error) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (function == nullptr) {
        error = L"varnokclient.dll has no export " + WidenBytes(name);
        return false;
    }
    return true;
}

}  // namespace

std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

bool LoadClientLibrary(ClientLibrary& library, std::wstring& error) {
    const std::wstring path = ProgramFolder() + L"varnokclient.dll";
    library.module.reset(::LoadLibraryW(path.c_str()));
    if (!library.module) {
        error = L"Could not load " + path + L" (error " + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    const HMODULE module = library.module.get();
    return LookUp(module, "FilterInit", library.filter_init, error) &&
           LookUp(module, "SetDriverConfiguration", library.set_driver_configuration, error) &&
           LookUp(module, "ClientDisconnect", library.client_disconnect, error) &&
           LookUp(module, "GetVersion", library.get_version, error);
}

// Each callback returns normally whatever happens inside it, as the library requires; the only
// failure they can meet is exhausted memory.
std::int32_t OnScan(FileInfo file_info, std::uint32_t /*value2*/, std::uint32_t /*value1*/) {
    try {
        // Copied first: the library's strings end with the call. A host that scans later, on a
        // thread of its own, copies file_info.Source too.
        const std::wstring path = file_info.FileName;
        return ScanFile(path);
    } catch (...) {
        return kVerdictNotRead;
    }
}

void OnScanResult(const wchar_t* path, std::int32_t verdict) {
    try {
        PrintLine(L"verdict " + std::to_wstring(verdict) + L" for " + path);
    } catch (...) {
    }
}

void OnLog(std::uint32_t level, const wchar_t* text) {
    try {
        PrintLine(L"[" + LevelName(level) + L"] " + text);
    } catch (...) {
    }
}

std::wstring LevelName(std::uint32_t level) {
    switch (level) {
        case VARNOK_LOG_INFO:
            return L"INFO";
        case VARNOK_LOG_WARN:
            return L"WARN";
        case VARNOK_LOG_ERROR:
            return L"ERROR";
        default:
            return L"LEVEL " + std::to_wstring(level);
    }
}

}  // namespace sample_host
