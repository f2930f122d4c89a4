#include "scan/scan_event.h"

#include <optional>
#include <string>

#include "client/protocol.h"
#include "client/unique_handle.h"
#include "log/log.h"
#include "scan/file_age.h"
#include "scan/origin.h"
#include "scan/reported_name.h"
#include "scan/stream_file.h"

namespace varnok {
namespace {

const std::wstring kZoneIdentifierStream = L"Zone.Identifier";
const std::wstring kSmartScreenStream = L"SmartScreen";
const std::wstring kVarnokStream = L"varnok";
const std::wstring kFileName = L"FileName";

// The one verdict command of an event, remembering whether it went out.
struct VerdictSender {
    HANDLE hPort;
    std::uint64_t event_id;
    DWORD thread_id;
    bool sent = false;

    HRESULT Send(std::int32_t verdict) {
        sent = true;
        return SendScanResult(hPort, verdict, event_id, thread_id);
    }
};

// The file itself must open for reading while nobody else writes it; its age decides the rest.
enum class FileState { Unopenable, Old, Recent };

UniqueHandle OpenForTheAgeTest(const std::wstring& file_name_str) {
    return UniqueHandle(
        ::CreateFileW(file_name_str.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

FileState OpenAndTestAge(const std::wstring& file_name_str, const StreamFile& varnok) {
    UniqueHandle hFile = OpenForTheAgeTest(file_name_str);
    if (!hFile && ::GetLastError() == ERROR_SHARING_VIOLATION) {
        // Where a file and its streams count as one for sharing, the writer may be the library's
        // own update of "varnok" for another event of this file: once more while none runs. A
        // writer of the file itself still refuses the open.
        const QuietStream quiet(varnok);
        hFile = OpenForTheAgeTest(file_name_str);
    }
    if (!hFile) {
        return FileState::Unopenable;
    }
    return IsFileRecent(hFile.get()) != 0 ? FileState::Recent : FileState::Old;
}

// Recorded from the stream as it is now, not as it was before the scan: keys that other events of
// the file wrote meanwhile stay, and this event's result is the last one saved.
void RecordScanResult(StreamFile& varnok, std::int32_t verdict, const std::wstring& file_name_str) {
    const std::wstring result = std::to_wstring(verdict);
    varnok.Update([&](StreamFile& stream) {
        stream.SetValue(kScanResult, result);
        stream.SetValue(kFileName, file_name_str);
        return true;
    });
}

void ReportDelivery(HRESULT send_status, const std::wstring& file_name_str, std::int32_t verdict) {
    if (send_status != S_OK) {
        Log(LogLevel::WARN, L"could not reach kernel driver");
        return;
    }
    if (const ::ScanResultCallback scan_result_callback = g_scan_result_callback.load()) {
        scan_result_callback(file_name_str.c_str(), verdict);
    }
}

HRESULT ExamineScanEvent(const ScanNotification& notification, std::size_t name_length, VerdictSender& verdict_sender) {
    const ::ScanCallback scan_callback = g_scan_callback.load();
    // An empty name would address the current folder's streams, not a file the driver named.
    if (scan_callback == nullptr || name_length == 0) {
        verdict_sender.Send(kVerdictNoScan);
        return E_FAIL;
    }

    const std::wstring file_name_str(notification.FileName, name_length);
    FileInfo file_info{};
    file_info.FileName = file_name_str.c_str();
    file_info.Value3 = notification.Value3;

    Log(LogLevel::INFO, L"NEW EVENT -----  for ", file_name_str);

    // The streams and the age are those of the file the name designates; a name of another stream
    // of it has none (reported_name.h). Everything the host sees keeps the name as reported.
    const std::optional<std::wstring> owner_name = StreamOwnerName(file_name_str);
    const std::wstring& owner_str = owner_name ? *owner_name : file_name_str;

    StreamFile zone_identifier(owner_str, kZoneIdentifierStream, false);
    StreamFile smart_screen(owner_str, kSmartScreenStream, false);
    const StreamState zone_identifier_state = owner_name ? zone_identifier.Read() : StreamState::Missing;
    const StreamState smart_screen_state = owner_name ? smart_screen.Read() : StreamState::Missing;

    if (zone_identifier_state == StreamState::Missing && smart_screen_state == StreamState::Missing) {
        verdict_sender.Send(kVerdictNoScan);
        Log(LogLevel::INFO, L"File has no Zone.Identifier nor SmartScan. ", file_name_str);
        return S_OK;
    }

    // The own stream is read, and updated, only after the age test: most events end before they
    // need it.
    StreamFile varnok(owner_str, kVarnokStream, false);
    switch (OpenAndTestAge(owner_str, varnok)) {
        case FileState::Unopenable:
            Log(LogLevel::INFO, file_name_str, L" Could not open file.");
            Log(LogLevel::WARN, L" Could not open file.");
            verdict_sender.Send(kVerdictNoScan);
            return E_FAIL;
        case FileState::Old:
            Log(LogLevel::INFO, file_name_str, L" file is old");
            verdict_sender.Send(kVerdictNoScan);
            return S_OK;
        case FileState::Recent:
            break;
    }

    const OriginOutcome origin =
        EvaluateOrigin(zone_identifier, zone_identifier_state, smart_screen_state, varnok, file_info);
    if (origin.clean_result_stored) {
        verdict_sender.Send(kVerdictNoScan);
        return S_OK;
    }
    const std::wstring& file_source = origin.file_source;
    if (file_source.empty()) {
        verdict_sender.Send(kVerdictNoOrigin);
        return E_FAIL;
    }

    file_info.Source = file_source.c_str();
    const std::int32_t verdict = scan_callback(file_info, notification.Value2, notification.Value1);

    // Recorded before the driver hears of it, so a clean result spares the next event a scan even
    // when this send fails.
    RecordScanResult(varnok, verdict, file_name_str);

    const HRESULT send_status = verdict_sender.Send(verdict);
    ReportDelivery(send_status, file_name_str, verdict);
    return send_status;
}

}  // namespace

HRESULT HandleScanEvent(HANDLE hPort, const ScanMessage& message, std::size_t name_units,
                        const ScanThreadContext& threadCtx) noexcept {
    VerdictSender verdict_sender{hPort, message.Notification.EventId, threadCtx.ThreadId};
    try {
        return ExamineScanEvent(message.Notification, FileNameLength(message.Notification, name_units), verdict_sender);
    } catch (...) {
        if (!verdict_sender.sent) {
            verdict_sender.Send(kVerdictNoScan);
        }
        return E_FAIL;
    }
}

}  // namespace varnok
