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

UniqueHandle OpenStream(const wchar_t* pName, DWORD access, DWORD disposition) {
    return UniqueHandle(
        ::CreateFileW(pName, access, kShareReadWrite, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether a failed open found no stream (nor, perhaps, its file), from the Win32 error code of the
// open itself: the one lookup of the name tells presence and opens alike. (A separate query first,
// GetFileAttributesW say, would look the name up twice for every stream, and a name that is missing
// is the dearest lookup there is on some file systems.)
bool IsMissing(DWORD open_error) { return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND; }

// The stream's first bytes, at most kStreamReadLimit of them; false when it can't be read.
bool ReadStreamBytes(HANDLE hStream, std::string& bytes) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(hStream, &size) || size.QuadPart < 0) {
        return false;
    }
    // Sized by the stream rather than by the limit, so a small stream costs a small buffer. A
    // stream that grows meanwhile is read as far as it reached when asked.
    const auto wanted = static_cast<std::size_t>(
        std::min(static_cast<unsigned long long>(size.QuadPart), static_cast<unsigned long long>(kStreamReadLimit)));
    std::string buffer(wanted, '\0');
    std::size_t filled = 0;
    while (filled < wanted) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(wanted - filled, kIoChunkBytes));
        DWORD read = 0;
        if (!::ReadFile(hStream, buffer.data() + filled, piece, &read, nullptr)) {
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
        const wchar_t* const pName = path.c_str();
        const UniqueHandle hStream = OpenStream(pName, GENERIC_READ, OPEN_EXISTING);
        if (!hStream) {
            if (create_if_missing && IsMissing(::GetLastError())) {
                // Opened as for appending: creates the stream (and the file, if that is missing
                // too) and leaves existing content alone, should the stream appear meanwhile.
                return OpenStream(pName, GENERIC_WRITE, OPEN_ALWAYS).is_valid();
            }
            return false;  // missing, or there but not readable (shared with nobody, say)
        }
        std::string bytes;
        if (!ReadStreamBytes(hStream.get(), bytes)) {
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
        // Sized after opening rather than truncated by CREATE_ALWAYS, which refuses a file that
        // carries the hidden or system attribute unless the same attributes are passed back. It is
        // set to its new length, not to zero, before the bytes go over the old ones: file systems
        // that take "cut to zero, then write" for a file being replaced write its data out at the
        // close (ext4 does, which makes a save under Wine ten times as slow).
        const UniqueHandle hStream = OpenStream(path.c_str(), GENERIC_WRITE, OPEN_ALWAYS);
        FILE_END_OF_FILE_INFO end_of_file{};
        end_of_file.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes.size());
        if (!hStream ||
            !::SetFileInformationByHandle(hStream.get(), FileEndOfFileInfo, &end_of_file, sizeof(end_of_file))) {
            return;
        }
        std::size_t written = 0;
        while (written < bytes.size()) {
            const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kIoChunkBytes));
            DWORD done = 0;
            if (!::WriteFile(hStream.get(), bytes.data() + written, piece, &done, nullptr) || done == 0) {
                // As after a cut to zero: the stream holds what was written, nothing of the old bytes.
                ::SetEndOfFile(hStream.get());
                return;
            }
            written += done;
        }
    } catch (...) {
    }
}

}  // namespace varnok
