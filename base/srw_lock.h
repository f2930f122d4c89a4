// Scope guards for SRW locks, and the calling thread's last Win32 error as a status.
#pragma once

#include <windows.h>

#include "status.h"

namespace varnok {

inline HResult HResultFromLastError() { return HResultFromWin32(::GetLastError()); }

// Holds an SRW lock exclusively for one scope; never across a host callback.
class SrwExclusive {
public:
    explicit SrwExclusive(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    SrwExclusive(const SrwExclusive&) = delete;
    SrwExclusive& operator=(const SrwExclusive&) = delete;
    ~SrwExclusive() { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK& lock_;
};

// Holds an SRW lock shared for one scope; never across a host callback.
class SrwShared {
public:
    explicit SrwShared(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
    SrwShared(const SrwShared&) = delete;
    SrwShared& operator=(const SrwShared&) = delete;
    ~SrwShared() { ::ReleaseSRWLockShared(&lock_); }

private:
    SRWLOCK& lock_;
};

}  // namespace varnok
