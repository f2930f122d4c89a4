// The tests' say over the library's file calls, through the file layer's one seam
// (file_call_seam.h): a rule decides, for each call, whether it is made, fails, fails part-way or
// blocks until it is cancelled, and may watch calls go by. What a rule blocks stands for what Wine
// cannot make: an open that waits on an opportunistic lock's break that nobody acknowledges, a server
// that stops answering.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "file_call_seam.h"
#include "unique_handle.h"

namespace varnok::test {

using SeamRule = std::function<FileCallOutcome(const FileCallSite& site)>;

inline std::mutex g_seam_rule_lock;
inline SeamRule g_seam_rule;

inline FileCallOutcome ApplySeamRule(const FileCallSite& site) {
    SeamRule rule;
    {
        const std::lock_guard<std::mutex> lock(g_seam_rule_lock);
        rule = g_seam_rule;
    }
    return rule ? rule(site) : FileCallOutcome{};
}

// Installs the rule for its scope; calls of every thread of the process pass it.
class ScopedSeam {
public:
    explicit ScopedSeam(SeamRule rule) {
        {
            const std::lock_guard<std::mutex> lock(g_seam_rule_lock);
            g_seam_rule = std::move(rule);
        }
        SetFileCallSeam(ApplySeamRule);
    }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;
    ~ScopedSeam() {
        SetFileCallSeam(nullptr);
        const std::lock_guard<std::mutex> lock(g_seam_rule_lock);
        g_seam_rule = nullptr;
    }
};

inline bool EndsWith(std::wstring_view name, std::wstring_view tail) { return name.ends_with(tail); }

inline FileCallOutcome Proceed() { return {}; }
inline FileCallOutcome Fail(DWORD error) { return {FileCallAction::kFail, error, 0}; }
inline FileCallOutcome FailAfter(std::size_t bytes, DWORD error) {
    return {FileCallAction::kFailPartWay, error, bytes};
}

// Blocks that never ended by a cancel but by their own bound: each is a call the watch missed.
inline std::atomic<int> g_blocks_not_cancelled{0};
inline constexpr DWORD kBlockBoundMs = 30000;

// Blocks the calling thread in a read of a pipe that nobody writes, which only CancelSynchronousIo
// ends (the library's watch, as for a real call held up): then the call fails as a cancelled one
// does. Past a generous bound the block ends by itself and counts in g_blocks_not_cancelled.
inline FileCallOutcome BlockUntilCancelled() {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        return Fail(::GetLastError());
    }
    const UniqueHandle reader(read_end);
    const UniqueHandle writer(write_end);
    const UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread bound([&] {
        if (::WaitForSingleObject(done.Get(), kBlockBoundMs) == WAIT_TIMEOUT) {
            DWORD written = 0;
            ::WriteFile(writer.Get(), "x", 1, &written, nullptr);
        }
    });
    char byte = 0;
    DWORD read = 0;
    const bool ended_by_itself = ::ReadFile(reader.Get(), &byte, 1, &read, nullptr) != FALSE;
    const DWORD error = ended_by_itself ? ERROR_TIMEOUT : ::GetLastError();
    ::SetEvent(done.Get());
    bound.join();
    if (ended_by_itself) {
        ++g_blocks_not_cancelled;
    }
    return Fail(error);
}

}  // namespace varnok::test
