// The library's proof, kept in a file's "varnok" record, that it recorded a scan result itself, for
// that very file, as the file was when its scan began: the file's identity and version, and a keyed
// MAC (record_key.h) over them and the result. A record copied onto another file names the other
// file's identity; a file written after its scan has another size or last-write time; a record
// that the library did not write has no MAC that its key gives. Free of windows.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace varnok {

// The file on its volume: the volume's serial number and the file's 128-bit ID on it.
struct FileIdentity {
    std::uint64_t volume_serial = 0;
    std::array<std::uint8_t, 16> file_id{};
    bool operator==(const FileIdentity&) const = default;
};

// The file's content as far as the record can tell without reading it: the size of its data and
// its last-write time (a FILETIME as one number).
struct FileVersion {
    std::uint64_t size = 0;
    std::uint64_t last_write_time = 0;
    bool operator==(const FileVersion&) const = default;
};

// One scan's result, for one file as one version.
struct ScanRecord {
    FileIdentity identity;
    FileVersion version;
    std::int32_t result = 0;
};

inline constexpr std::size_t kSealBytes = 32;  // HMAC-SHA256
using Seal = std::array<std::uint8_t, kSealBytes>;

// The bytes that the seal covers: a tag naming this layout, then each field in little-endian order.
inline constexpr std::size_t kSealedTagBytes = 16;
inline constexpr std::size_t kSealedBytes = kSealedTagBytes + 8 + 16 + 8 + 8 + 4;
using SealedBytes = std::array<std::uint8_t, kSealedBytes>;
SealedBytes SealedBytesOf(const ScanRecord& record);

// The keys that the record adds to ScanResult, FileName and HostUrl. Not inline: clang guards an
// inline variable's construction with the C++ runtime's lock, whose threading library then keeps
// state for the loading thread that no unload of the DLL gives back.
const std::wstring kScanResult = L"ScanResult";
const std::wstring kFileIdKey = L"FileId";                // 16 hex digits of the serial, "-", 32 of the ID
const std::wstring kFileSizeKey = L"FileSize";            // decimal
const std::wstring kLastWriteTimeKey = L"LastWriteTime";  // decimal, 100-ns intervals since 1601
const std::wstring kResultSealKey = L"ResultSeal";        // 64 hex digits

// Sets the record's identity, version and seal in the text (ScanResult is the caller's). False
// when a value could not be set (see SetStreamValue); the text may then hold some of them, which
// the check below refuses as a whole.
bool SetRecordSeal(std::wstring& text, const ScanRecord& record, const Seal& seal);

struct SealedRecord {
    ScanRecord record;
    Seal seal{};
};

// The record and its seal as SetRecordSeal and the ScanResult that the library writes leave them:
// nothing when a key is missing or its value is not exactly in the form written (lower-case hex,
// decimal without leading zeros), so that no spelling of a value passes for another.
std::optional<SealedRecord> GetSealedRecord(const std::wstring& text);

// Whether two seals are equal, in a time that does not depend on where they differ.
bool SealsEqual(const Seal& left, const Seal& right);

}  // namespace varnok
