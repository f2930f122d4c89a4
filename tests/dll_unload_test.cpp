// A host that reloads its components: loading and unloading the DLL gives back what loading took.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

#include "support/host_harness.h"
#include "tools/common/process_usage.h"

namespace varnok::test {
namespace {

TEST(DllUnload, LoadAndUnloadRoundsLeaveTheHeapsLevel) {
    // A copy under a name of its own: the copy this test links stays loaded and would keep every
    // round from unloading anything.
    wchar_t loaded[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(::GetModuleHandleW(L"varnokclient.dll"), loaded, MAX_PATH), 0u);
    const TempFolder folder;
    const std::filesystem::path copy = folder.path / L"varnokclient-reloaded.dll";
    std::filesystem::copy_file(loaded, copy);

    constexpr int kRounds = 200;
    constexpr int kWarmUp = 20;
    std::uint64_t heap_after_warm_up = 0;
    for (int round = 0; round < kRounds; ++round) {
        const HMODULE library = ::LoadLibraryW(copy.c_str());
        ASSERT_NE(library, nullptr) << round;
        ASSERT_NE(::GetProcAddress(library, "FilterInit"), nullptr);
        ASSERT_TRUE(::FreeLibrary(library));
        ASSERT_EQ(::GetModuleHandleW(copy.c_str()), nullptr) << "the copy stayed loaded";
        if (round + 1 == kWarmUp) {
            heap_after_warm_up = usage::HeapBytesInUse();
        }
    }
    // A round that kept the C++ runtime's emergency pool (some 73 KB) would add 13 MB here.
    EXPECT_LT(usage::HeapBytesInUse(), heap_after_warm_up + 64 * 1024);
}

}  // namespace
}  // namespace varnok::test
