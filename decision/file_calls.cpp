// The file-system calls of the decision, each through the file layer's one door.
#include "file_calls.h"

#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "file_call_door.h"
#include "trace.h"

namespace varnok {
namespace {

// Where a handle is opened on a name that another user can have made a named pipe's, the pipe's
// server learns nothing of the library's account and cannot act in its name.
constexpr DWORD kAnonymousClient = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// The information classes of NtQueryInformationFile used here, with their records; not every SDK
// declares them.
constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
struct FileInternalRecord {
    LARGE_INTEGER index_number;
};
static_assert(sizeof(FileInternalRecord) == 8);

constexpr ULONG kFileCreated = 2;  // IO_STATUS_BLOCK.Information of an open that made its object

bool NtSuccess(NTSTATUS status) { return status >= 0; }

DWORD ShareAsTheSeamSays(DWORD share, const FileCallOutcome& outcome) {
    return outcome.action == FileCallAction::kShareWriting ? share | FILE_SHARE_WRITE : share;
}

// One query of the handle through the door.
template <class Query>
bool Ask(HANDLE handle, Query&& query) {
    return MakeFileCall({FileCall::kQuery}, handle, [&](const FileCallOutcome&) { return query(); });
}

}  // namespace

Opened OpenByName(const std::wstring& name, DWORD access, DWORD share) {
    Opened opened;
    MakeFileCall({FileCall::kOpen, name, access, share}, nullptr, [&](const FileCallOutcome& outcome) {
        opened.handle.Reset(::CreateFileW(name.c_str(), access, ShareAsTheSeamSays(share, outcome), nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | kAnonymousClient, nullptr));
        return opened.handle.IsValid();
    });
    opened.error = opened.handle ? ERROR_SUCCESS : ::GetLastError();
    return opened;
}

Opened OpenFolder(const std::wstring& name) {
    Opened opened;
    constexpr ACCESS_MASK kAccess = FILE_TRAVERSE | SYNCHRONIZE;
    MakeFileCall({FileCall::kOpen, name, kAccess, kShareAll}, nullptr, [&](const FileCallOutcome&) {
        opened.handle.Reset(::CreateFileW(name.c_str(), kAccess, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | kAnonymousClient, nullptr));
        return opened.handle.IsValid();
    });
    opened.error = opened.handle ? ERROR_SUCCESS : ::GetLastError();
    return opened;
}

Opened OpenInFolder(HANDLE folder, std::wstring_view name, ACCESS_MASK access, DWORD share, Disposition disposition) {
    Opened opened;
    if (name.empty() || name.size() * sizeof(wchar_t) > 0xFFFEu) {
        opened.error = ERROR_INVALID_NAME;
        return opened;
    }
    UNICODE_STRING object_name{};
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = const_cast<wchar_t*>(name.data());
    SECURITY_QUALITY_OF_SERVICE quality{sizeof(quality), SecurityAnonymous, SECURITY_STATIC_TRACKING, FALSE};
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io{};
    MakeFileCall({FileCall::kOpen, name, access, share}, nullptr, [&](const FileCallOutcome& outcome) {
        HANDLE handle = nullptr;
        const NTSTATUS status = ::NtCreateFile(
            &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
            ShareAsTheSeamSays(share, outcome), disposition == Disposition::kCreateNew ? FILE_CREATE : FILE_OPEN,
            FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
        if (!NtSuccess(status)) {
            ::SetLastError(::RtlNtStatusToDosError(status));
            return false;
        }
        opened.handle.Reset(handle);
        opened.created = io.Information == kFileCreated;
        return true;
    });
    opened.error = opened.handle ? ERROR_SUCCESS : ::GetLastError();
    return opened;
}

bool IsMissing(DWORD open_error) {
    return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND || open_error == ERROR_INVALID_NAME;
}

std::optional<std::uint64_t> FileIndexOf(HANDLE handle) {
    FileInternalRecord record{};
    if (!Ask(handle, [&] {
            IO_STATUS_BLOCK io{};
            return NtSuccess(::NtQueryInformationFile(handle, &io, &record, sizeof(record), kFileInternalInformation));
        })) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(record.index_number.QuadPart);
}

std::optional<FileIdentity> IdentityOf(HANDLE handle) {
    FILE_ID_INFO id{};
    if (!Ask(handle, [&] { return ::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id)) != FALSE; })) {
        return std::nullopt;
    }
    FileIdentity identity;
    identity.volume_serial = id.VolumeSerialNumber;
    std::copy(std::begin(id.FileId.Identifier), std::end(id.FileId.Identifier), identity.file_id.begin());
    return identity;
}

std::optional<FileFacts> FactsOf(HANDLE file) {
    FILE_BASIC_INFO basic{};
    if (!Ask(file,
             [&] { return ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) != FALSE; })) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> size = SizeOf(file);
    if (!size) {
        return std::nullopt;
    }
    FileFacts facts;
    facts.creation_time = static_cast<std::uint64_t>(basic.CreationTime.QuadPart);
    facts.version.size = *size;
    facts.version.last_write_time = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
    return facts;
}

std::optional<std::wstring> PathOnVolumeOf(HANDLE handle) {
    std::vector<std::byte> buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto* const info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
        bool too_small = false;
        if (Ask(handle, [&] {
                const bool asked = ::GetFileInformationByHandleEx(handle, FileNameInfo, info,
                                                                  static_cast<DWORD>(buffer.size())) != FALSE;
                too_small = !asked && ::GetLastError() == ERROR_MORE_DATA;
                return asked;
            })) {
            return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
        }
        if (!too_small) {
            return std::nullopt;
        }
        buffer.resize(sizeof(FILE_NAME_INFO) + info->FileNameLength);  // the whole name, asked again
    }
    return std::nullopt;
}

std::optional<std::uint64_t> SizeOf(HANDLE handle) {
    FILE_STANDARD_INFO standard{};
    if (!Ask(handle, [&] {
            return ::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)) != FALSE;
        })) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
}

bool IsDiskFile(HANDLE handle) {
    return Ask(handle, [&] { return ::GetFileType(handle) == FILE_TYPE_DISK; });
}

bool SetLastWriteTime(HANDLE file, std::uint64_t last_write_time) {
    return MakeFileCall({FileCall::kSetTime}, file, [&](const FileCallOutcome&) {
        FILE_BASIC_INFO basic{};  // a time of 0, and attributes of 0, leave those as they are
        basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(last_write_time);
        return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
    });
}

bool DeleteOnClose(HANDLE handle) {
    return MakeFileCall({FileCall::kDelete}, handle, [&](const FileCallOutcome&) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
    });
}

}  // namespace varnok
