// The host's three callbacks, recording under one lock what up to 25 workers give them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_files.h"
#include "varnokclient.h"

namespace varnok::test {

// What the scan answers unless a test says otherwise: neither of the library's own verdicts.
inline constexpr std::int32_t kHostVerdict = -7;

struct ScanCall {
    std::wstring file_name;
    std::int32_t zone_id;
    std::wstring source;
    std::uint32_t value1, value2, value3;
    std::uint64_t reserved;
};

struct LogLine {
    std::uint32_t level;
    std::wstring text;
    bool operator==(const LogLine&) const = default;
};

inline LogLine NewEvent(const std::wstring& file) { return {VARNOK_LOG_INFO, L"NEW EVENT -----  for " + file}; }

struct FakeHost {
    std::mutex mutex;
    std::condition_variable changed;
    // The scan answers `verdict`, or `answer`'s result, outside the lock: it may act, wait or handle an event.
    std::int32_t verdict = kHostVerdict;
    std::function<std::int32_t(const ScanCall&)> answer;
    std::vector<ScanCall> scans;
    std::vector<std::pair<std::wstring, std::int32_t>> results;
    std::vector<LogLine> log;

    void Forget(bool keep_answers = false) {
        const std::lock_guard<std::mutex> lock(mutex);
        scans.clear();
        results.clear();
        log.clear();
        if (!keep_answers) {
            verdict = kHostVerdict;
            answer = nullptr;
        }
    }
    template <class Predicate>
    bool WaitUntil(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), predicate);
    }
    bool WaitForResults(std::size_t count) {
        return WaitUntil([&] { return results.size() >= count; });
    }
    std::vector<ScanCall> Scans() { return Copy(scans); }
    std::vector<std::pair<std::wstring, std::int32_t>> Results() { return Copy(results); }
    std::vector<LogLine> Log() { return Copy(log); }

private:
    template <class T>
    std::vector<T> Copy(const std::vector<T>& seen) {
        const std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
};

inline FakeHost& Host() {
    static FakeHost host;
    return host;
}

// Records a change under the host's lock and wakes whoever waits for one.
template <class Change>
void ChangeHost(Change change) {
    {
        const std::lock_guard<std::mutex> lock(Host().mutex);
        change(Host());
    }
    Host().changed.notify_all();
}

inline std::int32_t HostScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    const ScanCall call{file_info.FileName, file_info.ZoneId,  file_info.Source, value1, value2,
                        file_info.Value3,   file_info.Reserved};
    std::function<std::int32_t(const ScanCall&)> answer;
    std::int32_t verdict = 0;
    ChangeHost([&](FakeHost& host) {
        host.scans.push_back(call);
        answer = host.answer;
        verdict = host.verdict;
    });
    return answer ? answer(call) : verdict;
}

inline void HostResult(const wchar_t* path, std::int32_t verdict) {
    ChangeHost([&](FakeHost& host) { host.results.emplace_back(path, verdict); });
}

inline void HostLog(std::uint32_t level, const wchar_t* text) {
    ChangeHost([&](FakeHost& host) { host.log.push_back({level, text}); });
}

}  // namespace varnok::test
