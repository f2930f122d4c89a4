// The file-system calls of the decision: opens inside a held folder, and what identifies a file and
// its version (a stream's bytes are stream_content.h's).
//
// Each goes through the file layer's one door (file_call_door.h): it runs under the worker's watch,
// so that nothing another process or machine holds it up with stalls the worker for long, and is
// counted there. No open follows a link that the opened name itself is, and none lets a server
// impersonate the library's account.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record_seal.h"
#include "unique_handle.h"

namespace varnok {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Readers and deleters (a rename too) may go on; a writer may neither be there nor come.
inline constexpr DWORD kShareAllButWriting = FILE_SHARE_READ | FILE_SHARE_DELETE;

// What an open gave: the handle, or the Win32 error; and whether it made the object.
struct Opened {
    UniqueHandle handle;
    DWORD error = ERROR_SUCCESS;
    bool created = false;
};

// Opens an existing file or stream by its full (extended-length) name.
Opened OpenByName(const std::wstring& name, DWORD access, DWORD share);

// Opens a folder by its full name, for opening names inside it.
Opened OpenFolder(const std::wstring& name);

enum class Disposition { kOpenExisting, kCreateNew };

// Opens `name` ("x.exe", "x.exe:varnok") inside the held folder: never through another folder,
// and without following a link that the name itself is.
Opened OpenInFolder(HANDLE folder, std::wstring_view name, ACCESS_MASK access, DWORD share, Disposition disposition);

// Whether the open failed because there is no such name.
bool IsMissing(DWORD open_error);

// The number by which the file system tells the file of an open handle from every other file on its
// volume; a stream's handle has its file's where streams live inside their files.
std::optional<std::uint64_t> FileIndexOf(HANDLE handle);

// The volume's serial number and the file's 128-bit ID.
std::optional<FileIdentity> IdentityOf(HANDLE handle);

// A file's creation time and its version, asked of the handle itself: its basic facts and its size.
// (FILE_NETWORK_OPEN_INFORMATION gives all of them at once, but Wine answers it from the name the
// handle was opened by, looked up again: after a swap of the folder, another file's, or none.)
struct FileFacts {
    std::uint64_t creation_time = 0;
    FileVersion version;
};
std::optional<FileFacts> FactsOf(HANDLE file);

// The path on its volume of what the handle is open on ("\dl\x.exe"; on a share "\server\share\dl"),
// as the file system reached it: after every link in the name that opened it.
std::optional<std::wstring> PathOnVolumeOf(HANDLE handle);

// The size of the data or stream that the handle is open on.
std::optional<std::uint64_t> SizeOf(HANDLE handle);

// Whether the handle is of a file on a disk: not a pipe, a console or another device.
bool IsDiskFile(HANDLE handle);

// Sets the file's last-write time, leaving its other times alone.
bool SetLastWriteTime(HANDLE file, std::uint64_t last_write_time);

// Deletes, once the handle closes, what the handle was opened on (it needs DELETE access).
bool DeleteOnClose(HANDLE handle);

}  // namespace varnok
