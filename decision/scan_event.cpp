#include "scan_event.h"

#include <windows.h>

#include <optional>
#include <string>

#include "file_age.h"
#include "log_sink.h"
#include "origin.h"
#include "reported_name.h"
#include "stream_file.h"
#include "trace.h"
#include "unique_handle.h"
#include "verdicts.h"

namespace varnok {
namespace {

const std::wstring kZoneIdentifierStream = L"Zone.Identifier";
const std::wstring kSmartScreenStream = L"SmartScreen";
const std::wstring kVarnokStream = L"varnok";
const std::wstring kFileName = L"FileName";

// The one verdict of an event, remembering whether it went out. A verdict the driver did not take
// is the log's business only on the scanned path; every failed send leaves a trace.
struct VerdictSender {
    const VerdictSink& sink;
    const std::wstring_view file_name;
    bool sent = false;

    HResult Send(std::int32_t verdict) {
        sent = true;
        const HResult status = sink.send(sink.context, verdict);
        if (status != kSOk) {
            Trace(L"verdict ", std::to_wstring(verdict), L" for ", file_name, L" not delivered: ",
                  TraceHex{static_cast<std::uint32_t>(status)});
        }
        return status;
    }
};

// The file itself must open for reading while nobody else writes it; its age decides the rest.
enum class FileState { kUnopenable, kOld, kRecent };

UniqueHandle OpenForTheAgeTest(const std::wstring& file_name_str) {
    return UniqueHandle(
        ::CreateFileW(file_name_str.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

FileState OpenAndTestAge(const std::wstring& file_name_str, const StreamFile& varnok) {
    UniqueHandle h_file = OpenForTheAgeTest(file_name_str);
    if (!h_file && ::GetLastError() == ERROR_SHARING_VIOLATION) {
        // Where a file and its streams count as one for sharing, the writer may be the library's
        // own update of "varnok" for another event of this file: once more while none runs. A
        // writer of the file itself still refuses the open.
        const QuietStream quiet(varnok);
        h_file = OpenForTheAgeTest(file_name_str);
    }
    if (!h_file) {
        return FileState::kUnopenable;
    }
    return IsFileRecent(h_file.Get()) != 0 ? FileState::kRecent : FileState::kOld;
}

// Recorded from the stream as it is now, not as it was before the scan: keys that other events of
// the file wrote meanwhile stay, and this event's result is the last one saved.
void RecordScanResult(StreamFile& varnok, std::int32_t verdict, const std::wstring& file_name_str) {
    const std::wstring result = std::to_wstring(verdict);
    const StreamUpdate update = varnok.Update([&](StreamFile& stream) {
        stream.SetValue(kScanResult, result);
        stream.SetValue(kFileName, file_name_str);
        return true;
    });
    if (update == StreamUpdate::kFailed || update == StreamUpdate::kRefused) {
        Trace(L"scan result ", result, L" not recorded in ", varnok.path.native(),
              update == StreamUpdate::kFailed ? L": the update failed" : L": the stream was read only in part");
    }
}

void ReportDelivery(HResult send_status, const std::wstring& file_name_str, std::int32_t verdict,
                    const HostCallbacks& host) {
    if (send_status != kSOk) {
        Log(host.log, LogLevel::kWarn, L"could not reach kernel driver");
        return;
    }
    if (host.scan_result != nullptr) {
        host.scan_result(file_name_str.c_str(), verdict);
    }
}

HResult ExamineScanEvent(const FileEvent& event, const HostCallbacks& host, VerdictSender& verdict_sender) {
    // An empty name would address the current folder's streams, not a file the driver named.
    if (host.scan == nullptr || event.file_name.empty()) {
        verdict_sender.Send(kVerdictNoScan);
        return kEFail;
    }

    const std::wstring file_name_str(event.file_name);
    FileInfo file_info{};
    file_info.FileName = file_name_str.c_str();
    file_info.Value3 = event.value3;

    Log(host.log, LogLevel::kInfo, L"NEW EVENT -----  for ", file_name_str);

    // The streams and the age are those of the file the name designates; a name of another stream
    // of it has none (reported_name.h). Everything the host sees keeps the name as reported.
    const std::optional<std::wstring> owner_name = StreamOwnerName(file_name_str);
    const std::wstring& owner_str = owner_name ? *owner_name : file_name_str;

    StreamFile zone_identifier(owner_str, kZoneIdentifierStream, false);
    StreamFile smart_screen(owner_str, kSmartScreenStream, false);
    const StreamState zone_identifier_state = owner_name ? zone_identifier.Read() : StreamState::kMissing;
    const StreamState smart_screen_state = owner_name ? smart_screen.Read() : StreamState::kMissing;

    if (zone_identifier_state == StreamState::kMissing && smart_screen_state == StreamState::kMissing) {
        verdict_sender.Send(kVerdictNoScan);
        Log(host.log, LogLevel::kInfo, L"File has no Zone.Identifier nor SmartScan. ", file_name_str);
        return kSOk;
    }

    // The own stream is read, and updated, only after the age test: most events end before they
    // need it.
    StreamFile varnok(owner_str, kVarnokStream, false);
    switch (OpenAndTestAge(owner_str, varnok)) {
        case FileState::kUnopenable:
            // Two lines for one failure, the second without the name: hosts count on both.
            Log(host.log, LogLevel::kInfo, file_name_str, L" Could not open file.");
            Log(host.log, LogLevel::kWarn, L" Could not open file.");
            verdict_sender.Send(kVerdictNoScan);
            return kEFail;
        case FileState::kOld:
            Log(host.log, LogLevel::kInfo, file_name_str, L" file is old");
            verdict_sender.Send(kVerdictNoScan);
            return kSOk;
        case FileState::kRecent:
            break;
    }

    const OriginOutcome origin =
        EvaluateOrigin(zone_identifier, zone_identifier_state, smart_screen_state, varnok, file_info, host.log);
    if (origin.clean_result_stored) {
        verdict_sender.Send(kVerdictNoScan);
        return kSOk;
    }
    const std::wstring& file_source = origin.file_source;
    if (file_source.empty()) {
        verdict_sender.Send(kVerdictNoOrigin);
        return kEFail;
    }

    file_info.Source = file_source.c_str();
    const std::int32_t verdict = host.scan(file_info, event.value2, event.value1);

    // Recorded before the driver hears of it, so a clean result spares the next event a scan even
    // when this send fails.
    RecordScanResult(varnok, verdict, file_name_str);

    const HResult send_status = verdict_sender.Send(verdict);
    ReportDelivery(send_status, file_name_str, verdict, host);
    return send_status;
}

}  // namespace

HResult HandleScanEvent(const FileEvent& event, const VerdictSink& sink, const HostCallbacks& host) noexcept {
    VerdictSender verdict_sender{sink, event.file_name};
    try {
        return ExamineScanEvent(event, host, verdict_sender);
    } catch (...) {
        Trace(L"handling of ", event.file_name, L" stopped by an exception",
              verdict_sender.sent ? L"" : L"; verdict 2 sent in its place");
        if (!verdict_sender.sent) {
            verdict_sender.Send(kVerdictNoScan);
        }
        return kEFail;
    }
}

}  // namespace varnok
