// The stream's lock: the gates of this process, the memory of long-held locks, the cap on waiters.
#include "stream_lock.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <unordered_map>

#include "blocking_call.h"
#include "file_call_door.h"
#include "srw_lock.h"
#include "trace.h"

namespace varnok {
namespace {

OVERLAPPED LockedByte() {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(kStreamLockOffset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(kStreamLockOffset >> 32);
    return at;
}

// False, with ERROR_LOCK_VIOLATION as the last error, while another handle holds it.
bool TryLock(HANDLE stream, LockMode mode) {
    return MakeFileCall({FileCall::kLock}, stream, [&](const FileCallOutcome&) {
        OVERLAPPED range = LockedByte();
        const DWORD flags = (mode == LockMode::kExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
        return ::LockFileEx(stream, flags, 0, 1, 0, &range) != FALSE;
    });
}

void Unlock(HANDLE stream) {
    MakeFileCall({FileCall::kUnlock}, stream, [&](const FileCallOutcome&) {
        OVERLAPPED range = LockedByte();
        return ::UnlockFileEx(stream, 0, 1, 0, &range) != FALSE;
    });
}

// ---- The memory of locks held long ----------------------------------------------------------
// Files whose lock a wait found held to the end, with the tick until which no wait for them is made
// again. Shared by every worker; more files than anyone locks at once in practice, and a few
// kilobytes. One who locks more than that still ties up no more than kLockWaitersAtOnce workers.
constexpr std::size_t kHeldLongSlots = 256;
constexpr std::uint64_t kHeldLongMemoryMs = 60000;
struct HeldLong {
    FileKey file;
    std::uint64_t until = 0;  // 0: a free slot
};
SRWLOCK g_held_long_lock = SRWLOCK_INIT;
std::array<HeldLong, kHeldLongSlots> g_held_long{};
std::atomic<std::size_t> g_held_long_count{0};  // slots in use, so that a lock taken at once looks no further

bool IsRememberedHeldLong(FileKey file, std::uint64_t now) {
    const SrwShared lock(g_held_long_lock);
    return std::any_of(g_held_long.begin(), g_held_long.end(),
                       [&](const HeldLong& slot) { return slot.file == file && slot.until > now; });
}

void RememberHeldLong(FileKey file, std::uint64_t now) {
    const SrwExclusive lock(g_held_long_lock);
    // The slot of this file, else the one that expires first.
    HeldLong* slot = std::min_element(g_held_long.begin(), g_held_long.end(),
                                      [](const HeldLong& a, const HeldLong& b) { return a.until < b.until; });
    for (HeldLong& candidate : g_held_long) {
        if (candidate.until != 0 && candidate.file == file) {
            slot = &candidate;
        }
    }
    if (slot->until == 0) {
        g_held_long_count.fetch_add(1);
    }
    *slot = HeldLong{file, now + kHeldLongMemoryMs};
}

void ForgetHeldLong(FileKey file) {
    if (g_held_long_count.load() == 0) {
        return;
    }
    const SrwExclusive lock(g_held_long_lock);
    for (HeldLong& slot : g_held_long) {
        if (slot.until != 0 && slot.file == file) {
            slot = HeldLong{};
            g_held_long_count.fetch_sub(1);
        }
    }
}

// The workers that may wait for another process's lock at once: the others, finding a lock held
// while that many wait, don't wait, so that locks held for ever on many files never take the pool
// from the files that nobody holds.
constexpr int kLockWaitersAtOnce = 4;
std::atomic<int> g_lock_waiters{0};

struct LockWaiter {
    bool admitted = g_lock_waiters.fetch_add(1) < kLockWaitersAtOnce;
    LockWaiter() = default;
    LockWaiter(const LockWaiter&) = delete;
    LockWaiter& operator=(const LockWaiter&) = delete;
    ~LockWaiter() { g_lock_waiters.fetch_sub(1); }
};

// ---- The gates of this process ----------------------------------------------------------------
// The library's own threads queue for a stream's lock in the process first, each file at its own
// gate, so that only one of them at a time polls the file's lock: a file that many events of this
// process update at once is never mistaken for one whose lock another process holds, and a lock held
// for ever costs one wait, while the others find it remembered. A gate lives while a thread holds it
// or waits for it. Shared entrants step back for a waiting exclusive one, so an update is not starved
// by a stream of reads.
struct Gate {
    std::size_t users = 0;
    int holders = 0;  // -1: one exclusive holder; else the number of shared holders
    std::size_t exclusive_waiting = 0;
};
SRWLOCK g_gates_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_gate_left = CONDITION_VARIABLE_INIT;
std::unordered_map<std::uint64_t, Gate> g_gates;  // node-based: a gate stays put while others come and go

// How soon a thread waiting at a gate notices that its waits were abandoned.
constexpr DWORD kGateWaitSliceMs = 50;

bool MayEnter(const Gate& gate, LockMode mode) {
    return mode == LockMode::kExclusive ? gate.holders == 0 : gate.holders >= 0 && gate.exclusive_waiting == 0;
}

void Enter(Gate& gate, LockMode mode) { gate.holders = mode == LockMode::kExclusive ? -1 : gate.holders + 1; }

// Called with the gates' lock held.
void DropUser(FileKey file, Gate& gate) {
    if (--gate.users == 0) {
        g_gates.erase(file.value);
    }
    ::WakeAllConditionVariable(&g_gate_left);
}

// False when the wait ran out, or the thread's waits were abandoned: the gate is not entered.
bool EnterGate(HANDLE stream, FileKey file, LockMode mode) {
    {
        const SrwExclusive lock(g_gates_lock);
        Gate& gate = g_gates[file.value];
        ++gate.users;
        if (MayEnter(gate, mode)) {
            Enter(gate, mode);
            return true;
        }
    }
    AnnounceWait(stream);
    const std::uint64_t start = ::GetTickCount64();
    const SrwExclusive lock(g_gates_lock);
    Gate& gate = g_gates[file.value];  // kept by this thread's use
    gate.exclusive_waiting += mode == LockMode::kExclusive ? 1 : 0;
    bool entered = false;
    for (;;) {
        if (MayEnter(gate, mode)) {
            entered = true;
            break;
        }
        const std::uint64_t waited = ::GetTickCount64() - start;
        if (WaitsAbandoned() || waited >= kFileWaitLimitMs) {
            break;
        }
        const auto slice = static_cast<DWORD>(std::min<std::uint64_t>(kGateWaitSliceMs, kFileWaitLimitMs - waited));
        ::SleepConditionVariableSRW(&g_gate_left, &g_gates_lock, slice, 0);
    }
    gate.exclusive_waiting -= mode == LockMode::kExclusive ? 1 : 0;
    if (entered) {
        Enter(gate, mode);
    } else {
        DropUser(file, gate);
        Trace(L"a wait at a file's gate ran out: the thread ahead is held up");
    }
    return entered;
}

void LeaveGate(FileKey file, LockMode mode) {
    const SrwExclusive lock(g_gates_lock);
    Gate& gate = g_gates[file.value];
    gate.holders = mode == LockMode::kExclusive ? 0 : gate.holders - 1;
    DropUser(file, gate);
}

}  // namespace

FileKey::FileKey(std::uint64_t file_index, std::wstring_view stream_name)
    : value(file_index ^ std::hash<std::wstring_view>{}(stream_name)) {}

FileGate::FileGate(FileKey file, LockMode mode, HANDLE stream)
    : file_(file), mode_(mode), entered_(EnterGate(stream, file, mode)) {}

FileGate::~FileGate() {
    if (entered_) {
        LeaveGate(file_, mode_);
    }
}

StreamLock::StreamLock(HANDLE stream, LockMode mode, FileKey file, GateHold gate) : stream_(stream) {
    if (gate == GateHold::kEnter && !gate_.emplace(file, mode, stream).Entered()) {
        state_ = LockState::kBusy;
        return;
    }
    if (TryLock(stream, mode)) {
        state_ = LockState::kHeld;
        ForgetHeldLong(file);
        return;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) {
        return;  // kFailed
    }
    // Someone holds it: another process, or the library of another process. The lock is polled
    // rather than waited for in the kernel, so that the wait ends when it should.
    const std::uint64_t start = ::GetTickCount64();
    state_ = LockState::kBusy;
    if (IsRememberedHeldLong(file, start)) {
        return;
    }
    const LockWaiter waiter;
    if (!waiter.admitted) {
        Trace(L"a stream's lock is held while other workers wait for such locks: not waited for");
        return;
    }
    AnnounceWait(stream);
    DWORD pause_ms = 1;
    while (!WaitsAbandoned()) {
        ::Sleep(pause_ms);
        pause_ms = std::min<DWORD>(pause_ms * 2, 16);
        if (TryLock(stream, mode)) {
            state_ = LockState::kHeld;
            ForgetHeldLong(file);
            return;
        }
        if (::GetLastError() != ERROR_LOCK_VIOLATION) {
            state_ = LockState::kFailed;
            return;
        }
        const std::uint64_t now = ::GetTickCount64();
        if (now - start >= kFileWaitLimitMs) {
            RememberHeldLong(file, now);
            return;
        }
    }
}

StreamLock::~StreamLock() {
    if (state_ == LockState::kHeld) {
        Unlock(stream_);
    }
}

}  // namespace varnok
