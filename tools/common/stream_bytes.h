// A file's alternate data stream read the way any other program sees it, through the Windows API:
// what the demo shows of the library's record and what the tests check of it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "unique_handle.h"

namespace varnok::usage {

// The stream's bytes, or nothing when it cannot be opened (it does not exist, or is held).
inline std::optional<std::string> ReadStreamBytes(const std::wstring& file, const std::wstring& stream) {
    const UniqueHandle handle(::CreateFileW((file + L":" + stream).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(handle.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

}  // namespace varnok::usage
