// The handling of one file event: whether the named file needs a scan, the host's scan, the result
// recorded in the file's "varnok" stream, and the one verdict for the event.
//
// The handler knows neither the driver's port nor the running client: the caller gives it the
// event's fields, a sink for the verdict and the host's callbacks.
#pragma once

#include <cstdint>
#include <string_view>

#include "status.h"
#include "varnokclient.h"

namespace varnok {

class RecordKey;

// The fields of one file event that the decision reads. The name is the part of it that arrived
// with the notification, already bounded by the caller; it may name a stream of the file.
struct FileEvent {
    std::wstring_view file_name;
    std::uint32_t value1;
    std::uint32_t value2;
    std::uint32_t value3;
};

// Where the event's verdict goes: send(context, verdict) delivers it and answers the port's status
// (0 = delivered). Called exactly once per event, on the handling thread.
struct VerdictSink {
    void* context;
    HResult (*send)(void* context, std::int32_t verdict);
};

// The host's callbacks, as the host registered them; any of them may be null.
struct HostCallbacks {
    ::ScanCallback scan;
    ::ScanResultCallback scan_result;
    ::LogCallback log;
};

// Decides whether the event's file needs a scan, lets the host scan it, records the result in the
// file's "varnok" stream, sealed with the key (record_key.h), and sends exactly one verdict for the
// event through the sink, on every path. An event for a named stream of a file is judged by its
// file and scanned under its own name, and records nothing. An event whose name is empty names no
// file and gets verdict 2 unexamined; one whose name has no exact form or names no stream that holds
// data (reported_name.h) reaches no stream and counts as a file without origin streams. Nothing escapes:
// an exception out of the handling (exhausted memory, a host callback that threw) still sends
// verdict 2 if no verdict went out yet, records nothing further and returns E_FAIL. Otherwise the
// result is S_OK, E_FAIL for the exits that examined nothing useful (no scan callback, an
// unopenable file, no origin), or the status of the scanned verdict's send.
HResult HandleScanEvent(const FileEvent& event, const VerdictSink& sink, const HostCallbacks& host,
                        const RecordKey& key) noexcept;

// What the worker pool calls for each file event it acknowledged: HandleScanEvent in the library;
// the benchmark's floor client gives one that decides nothing. It must send exactly one verdict
// through the sink and let nothing escape.
using EventHandler = HResult (*)(const FileEvent& event, const VerdictSink& sink, const HostCallbacks& host,
                                 const RecordKey& key) noexcept;

}  // namespace varnok
