// Where the Windows tests keep their scratch files. The test command mounts a real NTFS volume and
// names a folder on it in VARNOK_NTFS_FOLDER (a Windows path), so that streams are true streams of
// their files; without it they go to the temporary folder, where Wine keeps a stream "file:stream"
// as a second file beside its file.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace varnok::test {

inline std::optional<std::wstring> EnvironmentValue(const wchar_t* name) {
    std::wstring value(::GetEnvironmentVariableW(name, nullptr, 0), L'\0');  // with room for the NUL
    if (value.size() < 2 ||
        ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())) + 1 != value.size()) {
        return std::nullopt;
    }
    value.pop_back();
    return value;
}

// The scratch folder on the NTFS volume, when the test command mounted one.
inline std::optional<std::filesystem::path> NtfsFolder() { return EnvironmentValue(L"VARNOK_NTFS_FOLDER"); }

// CI sets VARNOK_REQUIRE_NTFS=1: there a missing volume is a failure, never a quiet skip.
inline bool NtfsRequired() { return EnvironmentValue(L"VARNOK_REQUIRE_NTFS") == L"1"; }

// The folder under which every test makes its own scratch folder.
inline std::filesystem::path ScratchRoot() { return NtfsFolder().value_or(std::filesystem::temp_directory_path()); }

}  // namespace varnok::test
