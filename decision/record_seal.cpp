// The seal of a record: its bytes under the MAC, and its lines, written and read back exactly.
#include "record_seal.h"

#include <charconv>
#include <limits>
#include <string_view>

#include "record_format.h"
#include "stream_text.h"

namespace varnok {
namespace {

constexpr std::array<std::uint8_t, kSealedTagBytes> kSealedTag = {'v', 'a', 'r', 'n', 'o', 'k', ' ', 's',
                                                                  'c', 'a', 'n', ' ', 'v', '1', 0,   0};
constexpr std::wstring_view kHexDigits = L"0123456789abcdef";

void PutLittleEndian(SealedBytes& bytes, std::size_t& at, std::uint64_t value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        bytes[at++] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void AppendHex(std::wstring& text, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(kHexDigits[bytes[i] >> 4]);
        text.push_back(kHexDigits[bytes[i] & 0xFu]);
    }
}

// Exactly 2 * count lower-case hex digits.
bool ParseHex(std::wstring_view text, std::uint8_t* bytes, std::size_t count) {
    if (text.size() != 2 * count) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t high = kHexDigits.find(text[2 * i]);
        const std::size_t low = kHexDigits.find(text[2 * i + 1]);
        if (high == std::wstring_view::npos || low == std::wstring_view::npos) {
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

std::array<std::uint8_t, 8> BigEndian(std::uint64_t value) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
    }
    return bytes;
}

std::wstring FormatFileId(const FileIdentity& identity) {
    std::wstring text;
    const std::array<std::uint8_t, 8> serial = BigEndian(identity.volume_serial);
    AppendHex(text, serial.data(), serial.size());
    text.push_back(L'-');
    AppendHex(text, identity.file_id.data(), identity.file_id.size());
    return text;
}

std::optional<FileIdentity> ParseFileId(std::wstring_view text) {
    std::array<std::uint8_t, 8> serial{};
    FileIdentity identity;
    if (text.size() != 2 * (serial.size() + identity.file_id.size()) + 1 || text[2 * serial.size()] != L'-' ||
        !ParseHex(text.substr(0, 2 * serial.size()), serial.data(), serial.size()) ||
        !ParseHex(text.substr(2 * serial.size() + 1), identity.file_id.data(), identity.file_id.size())) {
        return std::nullopt;
    }
    for (const std::uint8_t byte : serial) {
        identity.volume_serial = identity.volume_serial << 8 | byte;
    }
    return identity;
}

// Decimal as std::to_wstring writes it: digits only, no leading zero but in "0" itself.
std::optional<std::uint64_t> ParseCanonicalUnsigned(std::wstring_view text) {
    if (text.empty() || text.size() > std::numeric_limits<std::uint64_t>::digits10 + 1 ||
        (text.size() > 1 && text[0] == L'0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::int32_t> ParseCanonicalResult(const std::wstring& text) {
    std::int32_t value = 0;
    const std::string narrow(text.begin(), text.end());
    const auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (error != std::errc() || end != narrow.data() + narrow.size() || std::to_wstring(value) != text) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

SealedBytes SealedBytesOf(const ScanRecord& record) {
    SealedBytes bytes{};
    std::size_t at = 0;
    for (const std::uint8_t byte : kSealedTag) {
        bytes[at++] = byte;
    }
    PutLittleEndian(bytes, at, record.identity.volume_serial, 8);
    for (const std::uint8_t byte : record.identity.file_id) {
        bytes[at++] = byte;
    }
    PutLittleEndian(bytes, at, record.version.size, 8);
    PutLittleEndian(bytes, at, record.version.last_write_time, 8);
    PutLittleEndian(bytes, at, static_cast<std::uint32_t>(record.result), 4);
    return bytes;
}

bool SetRecordSeal(std::wstring& text, const ScanRecord& record, const Seal& seal) {
    std::wstring seal_text;
    AppendHex(seal_text, seal.data(), seal.size());
    // Each is tried even when one before it was refused, so that none keeps a stale value that
    // would pair with the others; the check refuses the record as a whole.
    bool all_set = SetStreamValue(text, kFileIdKey, FormatFileId(record.identity));
    all_set &= SetStreamValue(text, kFileSizeKey, std::to_wstring(record.version.size));
    all_set &= SetStreamValue(text, kLastWriteTimeKey, std::to_wstring(record.version.last_write_time));
    all_set &= SetStreamValue(text, kResultSealKey, seal_text);
    return all_set;
}

std::optional<SealedRecord> GetSealedRecord(const std::wstring& text) {
    const std::optional<std::wstring> result = FindStreamValue(text, kScanResult);
    const std::optional<std::wstring> file_id = FindStreamValue(text, kFileIdKey);
    const std::optional<std::wstring> size = FindStreamValue(text, kFileSizeKey);
    const std::optional<std::wstring> last_write = FindStreamValue(text, kLastWriteTimeKey);
    const std::optional<std::wstring> seal = FindStreamValue(text, kResultSealKey);
    if (!result || !file_id || !size || !last_write || !seal) {
        return std::nullopt;
    }
    SealedRecord sealed;
    const std::optional<std::int32_t> result_value = ParseCanonicalResult(*result);
    const std::optional<FileIdentity> identity = ParseFileId(*file_id);
    const std::optional<std::uint64_t> size_value = ParseCanonicalUnsigned(*size);
    const std::optional<std::uint64_t> last_write_value = ParseCanonicalUnsigned(*last_write);
    if (!result_value || !identity || !size_value || !last_write_value ||
        !ParseHex(*seal, sealed.seal.data(), sealed.seal.size())) {
        return std::nullopt;
    }
    sealed.record = ScanRecord{*identity, FileVersion{*size_value, *last_write_value}, *result_value};
    return sealed;
}

bool SealsEqual(const Seal& left, const Seal& right) {
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        difference = static_cast<std::uint8_t>(difference | (left[i] ^ right[i]));
    }
    return difference == 0;
}

}  // namespace varnok
