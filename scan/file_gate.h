// Serialises the handling of events for one file around its read-modify-write of "varnok", so that
// two events for the same file lose neither's HostUrl nor its ScanResult. Events for different
// files never wait for each other.
#pragma once

#include <string>

namespace varnok {

struct FileGateEntry;

// Held for as long as it lives: one holder per file at a time. Paths are compared as NTFS
// compares names, without regard to case.
class FileGateLock {
public:
    explicit FileGateLock(const std::wstring& path);
    FileGateLock(const FileGateLock&) = delete;
    FileGateLock& operator=(const FileGateLock&) = delete;
    ~FileGateLock();

private:
    std::wstring key_;
    FileGateEntry* pEntry_;
};

}  // namespace varnok
