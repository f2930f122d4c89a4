// A stream's bytes, read up to the limit, and replaced so that a failure leaves them as they were.
#include "stream_content.h"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "file_call_door.h"
#include "file_calls.h"
#include "stream_text.h"
#include "trace.h"

namespace varnok {
namespace {

// Reads and writes go in pieces of at most this many bytes; a stream's first read asks for this
// much, which is all of nearly every stream.
constexpr DWORD kIoChunkBytes = 1u << 16;

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

bool SetLength(HANDLE stream, std::uint64_t length) {
    return MakeFileCall({FileCall::kResize}, stream, [&](const FileCallOutcome&) {
        FILE_END_OF_FILE_INFO end_of_file{};
        end_of_file.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
        return ::SetFileInformationByHandle(stream, FileEndOfFileInfo, &end_of_file, sizeof(end_of_file)) != FALSE;
    });
}

// Writes the bytes from the stream's start; `written` tells how far it got, also when it failed.
bool WriteAtStart(HANDLE stream, std::string_view bytes, std::size_t& written) {
    written = 0;
    while (written < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kIoChunkBytes));
        DWORD done = 0;
        const bool made = MakeFileCall({FileCall::kWrite}, stream, [&](const FileCallOutcome& outcome) {
            OVERLAPPED at = At(written);
            if (outcome.action == FileCallAction::kFailPartWay) {
                const auto part = static_cast<DWORD>(std::min<std::size_t>(outcome.bytes, piece));
                if (part > 0) {
                    ::WriteFile(stream, bytes.data() + written, part, &done, &at);
                }
                ::SetLastError(outcome.error);
                return false;
            }
            return ::WriteFile(stream, bytes.data() + written, piece, &done, &at) != FALSE && done > 0;
        });
        written += done;
        if (!made) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ReadStreamBytes(HANDLE stream, std::string& bytes, bool& bytes_are_whole) {
    // One read is the whole of a stream shorter than a piece; a longer one is sized first, so that
    // only as much as it holds, and never more than the limit, is read.
    std::string buffer(kIoChunkBytes, '\0');
    std::size_t filled = 0;
    std::size_t wanted = buffer.size();
    std::optional<std::uint64_t> stream_size;
    while (filled < wanted) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(wanted - filled, kIoChunkBytes));
        DWORD read = 0;
        if (!MakeFileCall({FileCall::kRead}, stream, [&](const FileCallOutcome&) {
                OVERLAPPED at = At(filled);
                return ::ReadFile(stream, buffer.data() + filled, piece, &read, &at) != FALSE ||
                       ::GetLastError() == ERROR_HANDLE_EOF;
            })) {
            return false;
        }
        filled += read;
        if (read < piece) {
            break;  // the end of the stream
        }
        if (!stream_size) {
            stream_size = SizeOf(stream);
            if (!stream_size) {
                return false;
            }
            wanted = static_cast<std::size_t>(std::min<std::uint64_t>(*stream_size, kStreamReadLimit));
            buffer.resize(std::max(wanted, filled));
        }
    }
    buffer.resize(std::min(filled, kStreamReadLimit));
    bytes_are_whole = !stream_size || *stream_size <= kStreamReadLimit;
    bytes = std::move(buffer);
    return true;
}

bool ReplaceStreamBytes(HANDLE stream, const std::string& before, const std::string& after) {
    const bool grows = after.size() > before.size();
    std::size_t written = 0;
    bool replaced = (!grows || SetLength(stream, after.size())) && WriteAtStart(stream, after, written);
    if (replaced && after.size() < before.size()) {
        replaced = SetLength(stream, after.size());
    }
    if (replaced) {
        return true;
    }
    // What the failed replacement changed is put back: the bytes written over, then the length.
    const DWORD error = ::GetLastError();
    std::size_t restored = 0;
    bool as_before =
        WriteAtStart(stream, std::string_view(before).substr(0, std::min(written, before.size())), restored);
    if (grows) {
        as_before = SetLength(stream, before.size()) && as_before;
    }
    if (!as_before) {
        Trace(L"a stream's bytes could not be put back after a failed write: it may hold part of each");
    }
    ::SetLastError(error);
    return false;
}

}  // namespace varnok
