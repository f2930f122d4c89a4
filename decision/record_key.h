// The key that seals the library's records (record_seal.h), and the check of a sealed clean result.
//
// 32 random bytes made when the client starts and held only in its memory, never written anywhere.
// The seal is HMAC-SHA256 through CNG (bcrypt.dll). A new key at every start means that a file's
// clean record from before the start no longer spares its scan: the file is scanned once more and
// sealed anew.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "record_seal.h"
#include "status.h"

namespace varnok {

class RecordKey {
public:
    // A fresh random key; the failure of the system's random generator or HMAC provider otherwise.
    static HResult Create(std::unique_ptr<RecordKey>& key) noexcept;

    RecordKey(const RecordKey&) = delete;
    RecordKey& operator=(const RecordKey&) = delete;
    ~RecordKey();  // wipes the key

    // The seal of the record under this key; nothing when the provider fails.
    [[nodiscard]] std::optional<Seal> SealOf(const ScanRecord& record) const noexcept;

    // Whether the seal is the one this key gives the record.
    [[nodiscard]] bool Verifies(const ScanRecord& record, const Seal& seal) const noexcept;

    // Whether the record's text holds a clean result that this key sealed for the file of that
    // identity, as that version: ScanResult 2 as the library writes it, with the identity, version and
    // seal beside it (GetSealedRecord). Any other text, an old record without a seal among them,
    // holds no result.
    [[nodiscard]] bool SealedCleanFor(const std::wstring& record_text, const FileIdentity& identity,
                                      const FileVersion& version) const noexcept;

private:
    RecordKey() = default;

    void* algorithm_ = nullptr;  // the HMAC-SHA256 provider, opened once; usable by every thread
    std::array<std::uint8_t, 32> secret_{};
};

}  // namespace varnok
