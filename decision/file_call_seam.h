// The file layer's one seam: where a test decides what a file call of the library does.
//
// Every call passes one door (file_call_door.h), where a seam may let it be made as asked, fail it
// with a given error (a write after a given number of bytes), or hold it up until it is cancelled. So
// the branches that only Windows takes run under Wine too: share modes kept per stream, a byte-range
// lock that makes a write fail, an open that waits for ever on an opportunistic lock's break, a
// server that stops answering, a write that fails part-way. The library itself installs no seam; the
// door then costs the load of one pointer per call.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnok {

// What a call of the file layer does.
enum class FileCall : std::uint8_t {
    kOpen,     // opens or creates a name
    kQuery,    // asks what a handle is open on: its index, identity, times, size, type, name
    kRead,     // reads a stream's bytes
    kResize,   // sets a stream's length
    kWrite,    // writes a stream's bytes
    kSetTime,  // sets a file's last-write time
    kDelete,   // marks what a handle is open on for deletion at its close
    kLock,     // takes a byte-range lock, without waiting for it
    kUnlock,   // releases a byte-range lock
    kWait,     // no system call: a wait for a lock that another holds, in this process or another
};

// One call, as the seam sees it.
struct FileCallSite {
    FileCall call = FileCall::kOpen;
    // For an open, the name it opens: a full name, or a name inside a held folder ("x.exe:varnok").
    // For a call on a handle, the name that the file system gives what the handle is open on (under
    // Windows and Wine alike, its path on its volume: "\dl\x.exe:varnok").
    std::wstring_view name{};
    ACCESS_MASK access = 0;  // an open's
    DWORD share = 0;         // an open's
};

enum class FileCallAction : std::uint8_t {
    kProceed,      // made as asked
    kFail,         // not made: it fails with `error`
    kFailPartWay,  // a write: its first `bytes` are written, then it fails with `error`
    // An open, made sharing writing as well: as an open of a file's data leaves its streams' writers
    // alone where share modes are kept per stream (Windows), which the NTFS volume under Wine doesn't.
    kShareWriting,
};

struct FileCallOutcome {
    FileCallAction action = FileCallAction::kProceed;
    DWORD error = ERROR_SUCCESS;
    std::size_t bytes = 0;
};

// Asked before each call, on the thread that makes it, inside the call's watch (blocking_call.h):
// a seam that blocks (reading a pipe that nobody writes, say) is cancelled as the call itself would
// be, and then answers the failure that the cancel gave it.
using FileCallSeam = FileCallOutcome (*)(const FileCallSite& site);

// Installs the seam (null removes it) and answers the one it replaced.
FileCallSeam SetFileCallSeam(FileCallSeam seam) noexcept;

// The system calls made through the door so far in this process, and the handles that its opens gave
// (each of which is closed once): for the benchmark, which compares the library's calls with its
// floor's.
struct FileCallCount {
    std::uint64_t calls = 0;
    std::uint64_t handles = 0;
};
FileCallCount CountedFileCalls() noexcept;

}  // namespace varnok
