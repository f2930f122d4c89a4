// The sample host's scanner: it finds the standard antivirus test file and nothing else.
#pragma once

#include <cstdint>
#include <string>

#include "verdicts.h"

namespace sample_host {

// The verdicts this host gives. Clean is the library's own "no scan needed": recorded beside the
// file, it spares later events a scan. Any other value is the host's own and reaches the driver
// unchanged.
inline constexpr std::int32_t kVerdictTestFileFound = 1;
inline constexpr std::int32_t kVerdictClean = varnok::kVerdictNoScan;
// A file the host could not read is not known to be clean, so it must not be remembered as such:
// its next event is scanned again.
inline constexpr std::int32_t kVerdictNotRead = 3;

// The standard antivirus test string, assembled at run time: no file of the repository (and no
// binary built from it) holds it whole, so that virus scanners leave them alone.
std::string AntivirusTestString();

// Reads the file and answers kVerdictTestFileFound when its bytes hold the test string, else
// kVerdictClean, or kVerdictNotRead when it cannot be read. Safe on any number of threads.
std::int32_t ScanFile(const std::wstring& path);

}  // namespace sample_host
