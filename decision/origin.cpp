#include "origin.h"

#include "log_sink.h"
#include "origin_rules.h"
#include "trace.h"
#include "verdicts.h"

namespace varnok {
namespace {

// What Zone.Identifier says, worked out before the record is locked.
struct ZoneOrigin {
    std::wstring host;
    std::int32_t zone = kForcedScanZone;
    bool malformed = false;  // no ZoneId, or one that is no number in the 32-bit range
};

// The HostUrl of Zone.Identifier taken whole; without one, a ReferrerUrl that is a URL, and
// otherwise "unknown host".
std::wstring ReadHostText(const StreamFile& zone_identifier) {
    std::wstring host_url;
    if (zone_identifier.GetValue(kHostUrl, host_url)) {
        return host_url;
    }
    std::wstring referrer;
    if (zone_identifier.GetValue(kReferrerUrl, referrer) && IsReferrerUrl(referrer)) {
        return referrer;
    }
    return kUnknownHost;
}

ZoneOrigin ReadZoneOrigin(const StreamFile& zone_identifier) {
    ZoneOrigin origin;
    std::wstring zone_id;
    const auto zone = zone_identifier.GetValue(kZoneId, zone_id) ? ParseDecimalInt32(zone_id) : std::nullopt;
    origin.malformed = !zone;
    origin.zone = zone.value_or(kForcedScanZone);
    origin.host = ReadHostText(zone_identifier);
    return origin;
}

// Zone.Identifier loaded: the host is recorded in the record, the zone goes to the scan.
std::wstring FromZoneIdentifier(const StreamFile& zone_identifier, StreamFile& record, JudgedFile& judged,
                                FileInfo& file_info, ::LogCallback log) {
    const ZoneOrigin origin = ReadZoneOrigin(zone_identifier);
    const RecordUpdate update = judged.UpdateRecord(record, [&](StreamFile& stream) {
        stream.SetValue(kHostUrl, origin.host);
        return true;
    });
    if (update == RecordUpdate::kFailed || update == RecordUpdate::kRefused) {
        Trace(L"origin not recorded in ", record.name,
              update == RecordUpdate::kFailed ? L": the update failed" : L": the stream was read only in part");
    }
    if (origin.malformed) {
        Log(log, LogLevel::kWarn, "Malformed Zone.Identifier - force scan.");
    }
    file_info.ZoneId = origin.zone;
    return origin.host;
}

}  // namespace

bool HoldsTrustedCleanResult(const StreamFile& record, const JudgedFile& judged, const RecordKey& key) {
    if (!judged.RecordIsItsOwn()) {
        return false;
    }
    try {
        const std::optional<SealedRecord> sealed = GetSealedRecord(record.text);
        return sealed && sealed->record.result == kVerdictNoScan && sealed->record.identity == judged.Identity() &&
               sealed->record.version == judged.Version() && key.Verifies(sealed->record, sealed->seal);
    } catch (...) {
        return false;  // memory ran out: nothing is trusted
    }
}

std::wstring EvaluateOrigin(const StreamFile& zone_identifier, StreamState zone_identifier_state,
                            StreamState smart_screen_state, StreamFile& record, StreamState record_state,
                            JudgedFile& judged, FileInfo& file_info, ::LogCallback log) {
    if (zone_identifier_state == StreamState::kLoaded) {
        return FromZoneIdentifier(zone_identifier, record, judged, file_info, log);
    }
    std::wstring remembered;
    if (record_state == StreamState::kLoaded) {
        record.GetValue(kHostUrl, remembered);
    }

    // Whoever can hold an origin stream open without sharing must not thereby spare the file its
    // scan: what can't be read may say anything.
    if (zone_identifier_state == StreamState::kUnreadable || smart_screen_state == StreamState::kUnreadable) {
        Log(log, LogLevel::kWarn,
            zone_identifier_state == StreamState::kUnreadable ? "Unreadable Zone.Identifier - force scan."
                                                              : "Unreadable SmartScreen - force scan.");
        file_info.ZoneId = kForcedScanZone;
        return remembered.empty() ? kUnknownHost : remembered;
    }
    return remembered;  // with only SmartScreen: the host an earlier event remembered
}

}  // namespace varnok
