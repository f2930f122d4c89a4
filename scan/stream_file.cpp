#include "scan/stream_file.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "client/unique_handle.h"
#include "scan/stream_text.h"

namespace varnok {
namespace {

// Other handles on the stream, the scanner's and the writer's of the file alike, may read and
// write while we hold ours.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Reads and writes go in pieces of at most this many bytes.
constexpr DWORD kIoChunkBytes = 1u << 20;

enum class Presence { kPresent, kMissing, kUnknown };

// Asked of GetFileAttributesW rather than std::filesystem::exists: the two runtimes answer exists
// by different routes (GetFileAttributesExW for MSVC, _wstat64 and errno for MinGW's libstdc++),
// which differ in what counts as "not found" for a stream path. The Win32 error code decides it
// here the same way on both, with no exception involved.
Presence StreamPresence(const wchar_t* name) {
    if (::GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES) {
        return Presence::kPresent;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::kMissing : Presence::kUnknown;
}

UniqueHandle OpenStream(const wchar_t* name, DWORD access, DWORD disposition) {
    return UniqueHandle(
        ::CreateFileW(name, access, kShareReadWrite, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The stream's first bytes, at most kStreamReadLimit of them; false when it can't be read.
bool ReadStreamBytes(const wchar_t* name, std::string& bytes) {
    const UniqueHandle hStream = OpenStream(name, GENERIC_READ, OPEN_EXISTING);
    if (!hStream) {
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(hStream.get(), &size) || size.QuadPart < 0) {
        return false;
    }
    // Sized by the stream rather than by the limit, so a small stream costs a small buffer. A
    // stream that grows meanwhile is read as far as it reached when asked.
    const auto wanted =
        static_cast<std::size_t>(std::min(static_cast<unsigned long long>(size.QuadPart),
                                          static_cast<unsigned long long>(kStreamReadLimit)));
    std::string buffer(wanted, '\0');
    std::size_t filled = 0;
    while (filled < wanted) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(wanted - filled, kIoChunkBytes));
        DWORD read = 0;
        if (!::ReadFile(hStream.get(), buffer.data() + filled, piece, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        filled += read;
    }
    buffer.resize(filled);
    bytes = std::move(buffer);
    return true;
}

}  // namespace

StreamFile::StreamFile(const std::wstring& file_path, const std::wstring& stream_name, bool create)
    : path(file_path + L":" + stream_name), create_if_missing(create) {}

bool StreamFile::Load() noexcept {
    try {
        const wchar_t* const name = path.c_str();
        const Presence presence = StreamPresence(name);
        if (presence == Presence::kUnknown) {
            return false;
        }
        if (presence == Presence::kMissing && create_if_missing) {
            // Opened as for appending: creates the stream (and the file, if that is missing too)
            // and leaves existing content alone, should the stream appear meanwhile.
            return OpenStream(name, GENERIC_WRITE, OPEN_ALWAYS).is_valid();
        }
        std::string bytes;
        if (!ReadStreamBytes(name, bytes)) {
            return false;
        }
        text = DecodeStreamBytes(bytes);
        return true;
    } catch (...) {
        return false;
    }
}

bool StreamFile::GetValue(const std::wstring& key, std::wstring& value) const noexcept {
    try {
        auto found = FindStreamValue(text, key);
        if (!found) {
            return false;
        }
        value = std::move(*found);
        return true;
    } catch (...) {
        return false;
    }
}

void StreamFile::SetValue(const std::wstring& key, const std::wstring& value) noexcept {
    try {
        SetStreamValue(text, key, value);
    } catch (...) {
    }
}

void StreamFile::Save() const noexcept {
    try {
        // Encoded before the stream is opened, so that a failure here leaves its content alone.
        const std::string bytes = EncodeStreamText(text);
        // Truncated after opening rather than by CREATE_ALWAYS, which refuses a file that carries
        // the hidden or system attribute unless the same attributes are passed back.
        const UniqueHandle hStream = OpenStream(path.c_str(), GENERIC_WRITE, OPEN_ALWAYS);
        if (!hStream || !::SetEndOfFile(hStream.get())) {
            return;
        }
        std::size_t written = 0;
        while (written < bytes.size()) {
            const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kIoChunkBytes));
            DWORD done = 0;
            if (!::WriteFile(hStream.get(), bytes.data() + written, piece, &done, nullptr) || done == 0) {
                return;
            }
            written += done;
        }
    } catch (...) {
    }
}

}  // namespace varnok
