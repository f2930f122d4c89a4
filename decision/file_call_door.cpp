// The one door of the file layer: the seam's storage, a handle's name for it, and the count of calls.
#include "file_call_door.h"

#include <array>
#include <cstddef>

namespace varnok {
namespace door {

std::atomic<FileCallSeam> g_seam{nullptr};

namespace {

std::atomic<std::uint64_t> g_calls{0};
std::atomic<std::uint64_t> g_handles{0};

}  // namespace

FileCallOutcome Ask(FileCallSeam seam, FileCallSite site, HANDLE handle) noexcept {
    // Only a test's seam asks a handle its name: its own query, neither counted nor shown to the seam.
    alignas(FILE_NAME_INFO) std::array<std::byte, sizeof(FILE_NAME_INFO) + MAX_PATH * 4 * sizeof(wchar_t)> buffer{};
    if (site.name.empty() && handle != nullptr && handle != INVALID_HANDLE_VALUE &&
        ::GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        const auto* const info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
        site.name = std::wstring_view(info->FileName, info->FileNameLength / sizeof(wchar_t));
    }
    return seam(site);
}

void Count(FileCall call, bool made) noexcept {
    if (call == FileCall::kWait) {
        return;
    }
    g_calls.fetch_add(1, std::memory_order_relaxed);
    if (call == FileCall::kOpen && made) {
        g_handles.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace door

FileCallSeam SetFileCallSeam(FileCallSeam seam) noexcept { return door::g_seam.exchange(seam); }

FileCallCount CountedFileCalls() noexcept { return FileCallCount{door::g_calls.load(), door::g_handles.load()}; }

}  // namespace varnok
