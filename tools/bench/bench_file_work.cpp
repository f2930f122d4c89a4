#include "tools/bench/bench_file_work.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string_view>

#include "unique_handle.h"

namespace bench {
namespace {

using varnok::UniqueHandle;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The path of one of the file's streams, in a fixed buffer.
struct StreamName {
    wchar_t text[MAX_PATH + 64];
};

StreamName MakeStreamName(std::wstring_view path, std::wstring_view stream) {
    StreamName name{};
    const std::size_t path_length = std::min(path.size(), std::size(name.text) - stream.size() - 2);
    std::wmemcpy(name.text, path.data(), path_length);
    name.text[path_length] = L':';
    std::wmemcpy(name.text + path_length + 1, stream.data(), stream.size());
    return name;
}

// Opens a stream, reads it with one read and closes it; the bytes read, or -1.
long ReadStreamOnce(const wchar_t* name, std::vector<char>& buffer) {
    const UniqueHandle stream(::CreateFileW(name, GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD read = 0;
    if (!stream || !::ReadFile(stream.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
        return -1;
    }
    return static_cast<long>(read);
}

void WriteStreamOnce(const wchar_t* name, const char* bytes, DWORD length) {
    const UniqueHandle stream(::CreateFileW(name, GENERIC_WRITE, kShareReadWrite, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (stream && ::WriteFile(stream.Get(), bytes, length, &written, nullptr)) {
        ::SetEndOfFile(stream.Get());
    }
}

}  // namespace

void DoFileWork(const wchar_t* path, std::vector<char>& buffer) {
    const std::wstring_view path_text = path;
    ReadStreamOnce(MakeStreamName(path_text, L"Zone.Identifier").text, buffer);
    ReadStreamOnce(MakeStreamName(path_text, L"SmartScreen").text, buffer);
    const StreamName varnok = MakeStreamName(path_text, L"varnok");
    const long varnok_length = ReadStreamOnce(varnok.text, buffer);
    {
        const UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME now{};
        FILETIME created{};
        FILETIME accessed{};
        FILETIME written{};
        ::GetSystemTimeAsFileTime(&now);
        if (file) {
            ::GetFileTime(file.Get(), &created, &accessed, &written);
        }
    }
    if (varnok_length > 0) {
        WriteStreamOnce(varnok.text, buffer.data(), static_cast<DWORD>(varnok_length));
        WriteStreamOnce(varnok.text, buffer.data(), static_cast<DWORD>(varnok_length));
    }
}

}  // namespace bench
