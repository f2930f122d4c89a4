#include "scan/scan_event.h"

#include <string>

#include "client/protocol.h"
#include "client/unique_handle.h"
#include "log/log.h"
#include "scan/file_age.h"
#include "scan/file_gate.h"
#include "scan/origin.h"
#include "scan/origin_rules.h"
#include "scan/stream_file.h"

namespace varnok {
namespace {

const std::wstring kZoneIdentifierStream = L"Zone.Identifier";
const std::wstring kSmartScreenStream = L"SmartScreen";
const std::wstring kVarnokStream = L"varnok";
const std::wstring kScanResult = L"ScanResult";
const std::wstring kFileName = L"FileName";

constexpr std::int32_t kNoCachedResult = -1;

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

FileState OpenAndTestAge(const std::wstring& file_name_str) {
    const UniqueHandle hFile(
        ::CreateFileW(file_name_str.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!hFile) {
        return FileState::Unopenable;
    }
    return IsFileRecent(hFile.get()) != 0 ? FileState::Recent : FileState::Old;
}

// The ScanResult stored by an earlier event; a value that is no 32-bit number counts as none, so the
// file is scanned again.
std::int32_t ReadCachedResult(StreamFile& varnok) {
    std::wstring value;
    if (!varnok.GetValue(kScanResult, value)) {
        return kNoCachedResult;
    }
    return ParseDecimalInt32(value).value_or(kNoCachedResult);
}

void RecordScanResult(StreamFile& varnok, std::int32_t verdict, const std::wstring& file_name_str) {
    varnok.SetValue(kScanResult, std::to_wstring(verdict));
    varnok.SetValue(kFileName, file_name_str);
    varnok.Save();
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

    const FileGateLock file_gate(file_name_str);
    StreamFile zone_identifier(file_name_str, kZoneIdentifierStream, false);
    StreamFile smart_screen(file_name_str, kSmartScreenStream, false);
    StreamFile varnok(file_name_str, kVarnokStream, false);
    varnok.Load();  // a missing own stream reads as empty
    const bool zone_identifier_loaded = zone_identifier.Load();
    const bool smart_screen_loaded = smart_screen.Load();

    if (!zone_identifier_loaded && !smart_screen_loaded) {
        verdict_sender.Send(kVerdictNoScan);
        Log(LogLevel::INFO, L"File has no Zone.Identifier nor SmartScan. ", file_name_str);
        return S_OK;
    }

    switch (OpenAndTestAge(file_name_str)) {
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

    if (ReadCachedResult(varnok) == kVerdictNoScan) {
        verdict_sender.Send(kVerdictNoScan);
        return S_OK;
    }

    const std::wstring file_source = EvaluateOrigin(zone_identifier, zone_identifier_loaded, varnok, file_info);
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
