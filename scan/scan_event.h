// The handling of one file event, from the notification's fields to the verdict sent to the driver.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "client/records.h"
#include "client/wire.h"

namespace varnok {

// Verdicts the library sends on its own account; every other value is the host's scan result.
inline constexpr std::int32_t kVerdictNoOrigin = 0;
inline constexpr std::int32_t kVerdictNoScan = 2;  // no scan needed or none possible; as a result: clean

// Decides whether the notified file needs a scan, lets the host scan it, records the result in the
// file's "varnok" stream and sends exactly one verdict for the event, on every path, through hPort:
// the connection the event came from. Of the name only the first name_units units arrived with
// this notification; an event whose name is empty names no file and gets verdict 2 unexamined.
// Nothing escapes: an exception out of the handling (exhausted memory, a host callback that threw)
// still sends verdict 2 if no verdict went out yet, records nothing further and returns E_FAIL.
HRESULT HandleScanEvent(HANDLE hPort, const ScanMessage& message, std::size_t name_units,
                        const ScanThreadContext& threadCtx) noexcept;

}  // namespace varnok
