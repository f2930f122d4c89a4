// The decision for one file event, rule by rule, and its one verdict.
#include "scan_event.h"

#include <windows.h>

#include <optional>
#include <string>

#include "blocking_call.h"
#include "file_record.h"
#include "judged_file.h"
#include "log_sink.h"
#include "origin.h"
#include "origin_stream.h"
#include "record_format.h"
#include "record_key.h"
#include "record_seal.h"
#include "reported_name.h"
#include "stream_state.h"
#include "stream_text.h"
#include "trace.h"
#include "verdicts.h"

namespace varnok {
namespace {

const std::wstring kZoneIdentifierStream = L"Zone.Identifier";
const std::wstring kSmartScreenStream = L"SmartScreen";

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

// Remembers Zone.Identifier's host in the record before the scan, so that a later event that finds
// only SmartScreen still knows where the file came from.
void RememberOrigin(FileRecord& record, StreamText& record_text, const std::wstring& host) {
    const RecordUpdate update = record.Update(record_text, [&](StreamText& stream) {
        stream.SetValue(kHostUrl, host);
        return true;
    });
    if (update == RecordUpdate::kFailed || update == RecordUpdate::kRefused) {
        Trace(L"origin not recorded in ", kRecordStream,
              update == RecordUpdate::kFailed ? L": the update failed" : L": the stream was read only in part");
    }
}

// Recorded from the record as it is now, not as it was before the scan: keys that other events of
// the file wrote meanwhile stay, and this event's result is the last one saved. The result is
// sealed for the file as it was judged, before its scan: whatever changed since, the seal no longer
// fits the file, and its next event scans it again.
void RecordScanResult(const JudgedFile& judged, FileRecord& record, const RecordKey& key, std::int32_t verdict,
                      const std::wstring& file_name_str) {
    if (!judged.RecordIsItsOwn()) {
        Trace(L"scan result ", std::to_wstring(verdict), L" for ", file_name_str,
              L" not recorded: its record is not known to be the file's");
        return;
    }
    const std::wstring result = std::to_wstring(verdict);
    const ScanRecord scanned{judged.Identity(), judged.Version(), verdict};
    const std::optional<Seal> seal = key.SealOf(scanned);
    StreamText record_text;
    const RecordUpdate update = record.Update(record_text, [&](StreamText& stream) {
        stream.SetValue(kScanResult, result);
        stream.SetValue(kFileName, file_name_str);
        if (seal) {
            SetRecordSeal(stream.text, scanned, *seal);
        }
        return true;
    });
    if (update != RecordUpdate::kWritten && update != RecordUpdate::kUnchanged) {
        Trace(L"scan result ", result, L" not recorded for ", file_name_str,
              update == RecordUpdate::kRefused ? L": the record was read only in part" : L": the update failed");
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

HResult SendNoOrigin(VerdictSender& verdict_sender, const std::wstring& file_name_str, const HostCallbacks& host) {
    verdict_sender.Send(kVerdictNoScan);
    Log(host.log, LogLevel::kInfo, L"File has no Zone.Identifier nor SmartScan. ", file_name_str);
    return kSOk;
}

HResult SendUnopenable(VerdictSender& verdict_sender, const std::wstring& file_name_str, const HostCallbacks& host) {
    // Two lines for one failure, the second without the name: hosts count on both.
    Log(host.log, LogLevel::kInfo, file_name_str, L" Could not open file.");
    Log(host.log, LogLevel::kWarn, L" Could not open file.");
    verdict_sender.Send(kVerdictNoScan);
    return kEFail;
}

// The decision for one event, rule by rule as the README lists them.
HResult ExamineScanEvent(const FileEvent& event, const HostCallbacks& host, const RecordKey& key,
                         VerdictSender& verdict_sender) {
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

    // The origin streams and the age are those of the file that the name designates, or whose
    // stream it names: a payload in a named stream of a download is the download's. The file is
    // reached by its exact name, which Win32 does not rewrite; a name that has none, or no stream
    // that can hold data (reported_name.h), reaches no stream. The streams that the browser and the
    // library keep beside a file are data, not payloads. Everything the host sees keeps the name as
    // reported.
    const std::optional<ReportedStream> reported = SplitReportedName(file_name_str);
    const std::optional<FileLocation> location = reported ? LocateFile(reported->file) : std::nullopt;
    if (!location || IsSameStreamName(reported->stream, kZoneIdentifierStream) ||
        IsSameStreamName(reported->stream, kSmartScreenStream) || IsSameStreamName(reported->stream, kRecordStream)) {
        return SendNoOrigin(verdict_sender, file_name_str, host);
    }
    // A named stream is never spared by the file's record, which tells of the file's data, and its
    // event changes nothing in that record.
    const bool named_stream = !reported->stream.empty();
    const std::wstring exact_name = ExactName(*location);

    // Rule 1: neither a Zone.Identifier nor a SmartScreen stream, looked for by the file's exact name.
    // With a Zone.Identifier there, SmartScreen decides nothing and is not looked for.
    OriginStream zone_identifier(exact_name, kZoneIdentifierStream);
    std::optional<OriginStream> smart_screen;
    if (zone_identifier.Look() == Presence::kMissing) {
        smart_screen.emplace(exact_name, kSmartScreenStream);
        if (smart_screen->Look() == Presence::kMissing) {
            return SendNoOrigin(verdict_sender, file_name_str, host);
        }
    }

    // Rules 2 and 3: the file opens for reading with others allowed only to read and delete, and was
    // created within the last day.
    JudgedFile judged;
    switch (judged.Judge(*location, reported->stream, {&zone_identifier, smart_screen ? &*smart_screen : nullptr})) {
        case Judgement::kUnopenable:
            return SendUnopenable(verdict_sender, file_name_str, host);
        case Judgement::kOld:
            Log(host.log, LogLevel::kInfo, file_name_str, L" file is old");
            verdict_sender.Send(kVerdictNoScan);
            return kSOk;
        case Judgement::kRecent:
            break;
    }

    // Rule 4: a clean result that the library sealed for this very file as it is spares the rest,
    // the origin streams' reading among it. The record is read without its lock when an update of it
    // may follow (which keeps to this read unless it has to write). A named stream's event reads it
    // only for the host it remembers, which an event with only SmartScreen needs.
    const bool zone_identifier_there = zone_identifier.Look() == Presence::kPresent;
    FileRecord record(judged);
    StreamText record_text;
    StreamState record_state = StreamState::kMissing;
    if (!named_stream || !zone_identifier_there) {
        record_state = record.Read(record_text, zone_identifier_there ? RecordLock::kNone : RecordLock::kShared);
    }
    if (!named_stream && record_state == StreamState::kLoaded && judged.RecordIsItsOwn() &&
        key.SealedCleanFor(record_text.text, judged.Identity(), judged.Version())) {
        verdict_sender.Send(kVerdictNoScan);
        return kSOk;
    }

    // Rule 5: the origin, from the streams as read inside the held folder. Zone.Identifier's host is
    // remembered in the record before the scan; the host's log hears of it once the record is let go.
    StreamText zone_identifier_text;
    StreamText smart_screen_text;
    const StreamState zone_identifier_state =
        zone_identifier.Read(zone_identifier_text, judged.Owns(zone_identifier.FileIndex()));
    const StreamState smart_screen_state =
        smart_screen ? smart_screen->Read(smart_screen_text, judged.Owns(smart_screen->FileIndex()))
                     : StreamState::kMissing;
    const Origin origin =
        ReadOrigin(zone_identifier_text, zone_identifier_state, smart_screen_state, record_text, record_state);
    if (origin.from_zone_identifier && !named_stream) {
        RememberOrigin(record, record_text, origin.host);
    }
    record.Release();
    if (origin.warning != nullptr) {
        Log(host.log, LogLevel::kWarn, std::string_view(origin.warning));
    }
    if (origin.host.empty()) {
        verdict_sender.Send(kVerdictNoOrigin);
        return kEFail;
    }

    // The client stops, and this event's waits and calls were ended for it: the stop waits for the
    // host's callbacks under way when it began, not for a scan that would begin after it.
    if (WaitsAbandoned()) {
        Trace(L"the client stops: ", file_name_str, L" not scanned");
        verdict_sender.Send(kVerdictNoScan);
        return kEFail;
    }

    // Rule 6: the host's scan, with the zone and the origin. Its result is recorded, sealed, before
    // the driver hears of it, so a clean result spares the next event a scan even when this send fails.
    file_info.ZoneId = origin.zone;
    file_info.Source = origin.host.c_str();
    const std::int32_t verdict = host.scan(file_info, event.value2, event.value1);
    if (!named_stream) {
        RecordScanResult(judged, record, key, verdict, file_name_str);
    }

    const HResult send_status = verdict_sender.Send(verdict);
    ReportDelivery(send_status, file_name_str, verdict, host);
    return send_status;
}

}  // namespace

HResult HandleScanEvent(const FileEvent& event, const VerdictSink& sink, const HostCallbacks& host,
                        const RecordKey& key) noexcept {
    VerdictSender verdict_sender{sink, event.file_name};
    try {
        return ExamineScanEvent(event, host, key, verdict_sender);
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
