// Random stream bytes, keys and values against the pattern engine and the reference. Input: key length,
// key, value length, value, the set text's bound (0: the read limit), the stream's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "stream_text.h"
#include "stream_text_reference.h"

namespace varnok {
namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The next input byte, or 0 when there is none.
std::uint8_t TakeByte(const std::uint8_t*& data, std::size_t& size) {
    if (size == 0) {
        return 0;
    }
    --size;
    return *data++;
}

// Bytes become characters of their code, but for three above 0xFF, line ends among them.
std::wstring TakeField(const std::uint8_t*& data, std::size_t& size, std::size_t limit) {
    std::wstring field;
    for (std::size_t length = TakeByte(data, size) % (limit + 1); length > 0 && size > 0; --length) {
        const std::uint8_t byte = TakeByte(data, size);
        field.push_back(byte == 0x80 ? L'\x2028' : byte == 0x81 ? L'\x2029' : byte == 0x82 ? L'\x0416' : wchar_t{byte});
    }
    return field;
}

}  // namespace
}  // namespace varnok

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace varnok;
    const std::wstring key = TakeField(data, size, 7);
    const std::wstring value = TakeField(data, size, 7);
    const std::uint8_t bound = TakeByte(data, size);  // a small bound that the text meets, or the read limit
    const std::size_t max_bytes = bound == 0 ? kStreamReadLimit : bound;
    const std::wstring text = DecodeStreamBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    std::wstring set_text = text;
    const bool set = SetStreamValue(set_text, key, value, max_bytes);
    Require(set || set_text == text);
    Require(FindStreamValue(text, key) == ReferenceValue(text, key));
    Require(set_text == ReferenceSet(text, key, value, max_bytes));
    Require(FindStreamValue(set_text, key) == ReferenceValue(set_text, key));

    // What a save and a load give back: the text up to its first 0x1A, '?' for what no byte holds.
    const std::string bytes = EncodeStreamText(set_text);
    Require(!set || text == set_text || bytes.size() <= max_bytes);
    std::wstring expected = set_text.substr(0, set_text.find(L'\x1A'));
    for (wchar_t& c : expected) {
        c = static_cast<std::uint32_t>(c) > 0xFF ? L'?' : c;
    }
    Require(DecodeStreamBytes(bytes) == expected);
    return 0;
}
