#include "stream_file.h"

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

}  // namespace varnok
