// The key that seals the records, through CNG, and the check of a sealed clean result.
#include "record_key.h"

#include <bcrypt.h>

#include <new>

#include "trace.h"
#include "verdicts.h"

namespace varnok {
namespace {

bool NtSuccess(NTSTATUS status) { return status >= 0; }

}  // namespace

HResult RecordKey::Create(std::unique_ptr<RecordKey>& key) noexcept {
    std::unique_ptr<RecordKey> made(new (std::nothrow) RecordKey());
    if (!made) {
        return kEOutOfMemory;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status =
        ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (NtSuccess(status)) {
        made->algorithm_ = algorithm;
        status = ::BCryptGenRandom(nullptr, made->secret_.data(), static_cast<ULONG>(made->secret_.size()),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    }
    if (!NtSuccess(status)) {
        Trace(L"no key for the records: CNG failed with ", TraceHex{static_cast<std::uint32_t>(status)});
        return HResultFromWin32(ERROR_INTERNAL_ERROR);
    }
    key = std::move(made);
    return kSOk;
}

RecordKey::~RecordKey() {
    ::SecureZeroMemory(secret_.data(), secret_.size());
    if (algorithm_ != nullptr) {
        ::BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(algorithm_), 0);
    }
}

std::optional<Seal> RecordKey::SealOf(const ScanRecord& record) const noexcept {
    SealedBytes bytes = SealedBytesOf(record);
    Seal seal{};
    const NTSTATUS status =
        ::BCryptHash(static_cast<BCRYPT_ALG_HANDLE>(algorithm_), const_cast<std::uint8_t*>(secret_.data()),
                     static_cast<ULONG>(secret_.size()), bytes.data(), static_cast<ULONG>(bytes.size()), seal.data(),
                     static_cast<ULONG>(seal.size()));
    if (!NtSuccess(status)) {
        Trace(L"a record could not be sealed: ", TraceHex{static_cast<std::uint32_t>(status)});
        return std::nullopt;
    }
    return seal;
}

bool RecordKey::Verifies(const ScanRecord& record, const Seal& seal) const noexcept {
    const std::optional<Seal> expected = SealOf(record);
    return expected && SealsEqual(*expected, seal);
}

bool RecordKey::SealedCleanFor(const std::wstring& record_text, const FileIdentity& identity,
                               const FileVersion& version) const noexcept {
    try {
        const std::optional<SealedRecord> sealed = GetSealedRecord(record_text);
        return sealed && sealed->record.result == kVerdictNoScan && sealed->record.identity == identity &&
               sealed->record.version == version && Verifies(sealed->record, sealed->seal);
    } catch (...) {
        return false;  // memory ran out: nothing is trusted
    }
}

}  // namespace varnok
