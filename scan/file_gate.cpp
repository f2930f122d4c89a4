#include "scan/file_gate.h"

#include <windows.h>

#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace varnok {

struct FileGateEntry {
    std::mutex mutex;
    std::size_t users = 0;
};

namespace {

struct FileGates {
    std::mutex mutex;
    std::unordered_map<std::wstring, FileGateEntry> entries;  // node-based: entries never move
};

FileGates& Gates() {
    static FileGates gates;
    return gates;
}

// The upper-case form under which NTFS finds a name; the path itself when it cannot be mapped.
std::wstring FoldCase(const std::wstring& path) {
    if (path.empty()) {
        return path;
    }
    std::wstring folded(path.size(), L'\0');
    const int length =
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), static_cast<int>(path.size()),
                        folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (length <= 0) {
        return path;
    }
    folded.resize(static_cast<std::size_t>(length));
    return folded;
}

}  // namespace

FileGateLock::FileGateLock(const std::wstring& path) : key_(FoldCase(path)) {
    FileGates& gates = Gates();
    {
        const std::lock_guard<std::mutex> lock(gates.mutex);
        pEntry_ = &gates.entries[key_];
        ++pEntry_->users;
    }
    pEntry_->mutex.lock();
}

FileGateLock::~FileGateLock() {
    pEntry_->mutex.unlock();
    FileGates& gates = Gates();
    const std::lock_guard<std::mutex> lock(gates.mutex);
    if (--pEntry_->users == 0) {
        gates.entries.erase(key_);
    }
}

}  // namespace varnok
