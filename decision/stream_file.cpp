#include "stream_file.h"

#include "file_calls.h"
#include "stream_text.h"
#include "trace.h"

namespace varnok {
namespace {

// What a caught exception cost: the operation gives its quiet answer, and the developer's trace
// says why.
void TraceSwallowed(const wchar_t* operation, const StreamFile& stream) noexcept {
    Trace(operation, L" of ", stream.name, L" stopped by an exception");
}

}  // namespace

void StreamFile::Decode(const std::string& bytes, bool bytes_are_whole) noexcept {
    try {
        StreamText decoded = DecodeStream(bytes, bytes_are_whole);
        text = std::move(decoded.text);
        whole = decoded.whole;
    } catch (...) {
        TraceSwallowed(L"decoding", *this);
        text.clear();
        whole = false;  // never written back
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
        TraceSwallowed(L"value lookup", *this);
        return false;
    }
}

void StreamFile::SetValue(const std::wstring& key, const std::wstring& value) noexcept {
    try {
        SetStreamValue(text, key, value);
    } catch (...) {
        TraceSwallowed(L"value change", *this);
    }
}

OriginStream::OriginStream(const std::wstring& exact_file_name, const std::wstring& stream_name)
    : state_(StreamState::kMissing) {
    Opened opened = OpenByName(exact_file_name + L":" + stream_name, GENERIC_READ, kShareAll);
    if (!opened.handle) {
        state_ = IsMissing(opened.error) ? StreamState::kMissing : StreamState::kUnreadable;
        return;
    }
    handle_ = std::move(opened.handle);
    state_ = StreamState::kLoaded;
    file_index_ = FileIndexOf(handle_.Get());
}

StreamState OriginStream::Read(StreamFile& into, bool its_file) {
    if (state_ != StreamState::kLoaded) {
        return state_;
    }
    const UniqueHandle stream = std::move(handle_);
    try {
        std::string bytes;
        bool bytes_are_whole = true;
        if ((its_file || IsDiskFile(stream.Get())) && ReadStreamBytes(stream.Get(), bytes, bytes_are_whole)) {
            into.Decode(bytes, bytes_are_whole);
            return state_;
        }
    } catch (...) {
        TraceSwallowed(L"read", into);
    }
    state_ = StreamState::kUnreadable;
    return state_;
}

}  // namespace varnok
