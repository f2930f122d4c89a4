#include "origin.h"

#include "log_sink.h"
#include "origin_rules.h"
#include "trace.h"
#include "verdicts.h"

namespace varnok {
namespace {

// What Zone.Identifier says, worked out before "varnok" is locked.
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

bool HoldsCleanResult(const StreamFile& varnok) {
    std::wstring value;
    return varnok.GetValue(kScanResult, value) && ParseDecimalInt32(value) == kVerdictNoScan;
}

// Zone.Identifier loaded: one update of "varnok" reads the stored result and, unless it is clean,
// records the host.
OriginOutcome FromZoneIdentifier(const StreamFile& zone_identifier, StreamFile& varnok, FileInfo& file_info,
                                 ::LogCallback log) {
    const ZoneOrigin origin = ReadZoneOrigin(zone_identifier);
    OriginOutcome outcome;
    const StreamUpdate update = varnok.Update([&](StreamFile& stream) {
        outcome.clean_result_stored = HoldsCleanResult(stream);
        if (outcome.clean_result_stored) {
            return false;
        }
        stream.SetValue(kHostUrl, origin.host);
        return true;
    });
    if (update == StreamUpdate::kFailed || update == StreamUpdate::kRefused) {
        Trace(L"origin not recorded in ", varnok.path.native(),
              update == StreamUpdate::kFailed ? L": the update failed" : L": the stream was read only in part");
    }
    if (outcome.clean_result_stored) {
        return outcome;
    }
    if (origin.malformed) {
        Log(log, LogLevel::kWarn, "Malformed Zone.Identifier - force scan.");
    }
    outcome.file_source = origin.host;
    file_info.ZoneId = origin.zone;
    return outcome;
}

}  // namespace

OriginOutcome EvaluateOrigin(StreamFile& zone_identifier, StreamState zone_identifier_state,
                             StreamState smart_screen_state, StreamFile& varnok, FileInfo& file_info,
                             ::LogCallback log) {
    if (zone_identifier_state == StreamState::kLoaded) {
        return FromZoneIdentifier(zone_identifier, varnok, file_info, log);
    }

    OriginOutcome outcome;
    if (varnok.ReadLocked() == StreamState::kLoaded && HoldsCleanResult(varnok)) {
        outcome.clean_result_stored = true;
        return outcome;
    }
    std::wstring remembered;
    varnok.GetValue(kHostUrl, remembered);

    // Whoever can hold an origin stream open without sharing must not thereby spare the file its
    // scan: what can't be read may say anything.
    if (zone_identifier_state == StreamState::kUnreadable || smart_screen_state == StreamState::kUnreadable) {
        Log(log, LogLevel::kWarn,
            zone_identifier_state == StreamState::kUnreadable ? "Unreadable Zone.Identifier - force scan."
                                                              : "Unreadable SmartScreen - force scan.");
        outcome.file_source = remembered.empty() ? kUnknownHost : remembered;
        file_info.ZoneId = kForcedScanZone;
        return outcome;
    }
    outcome.file_source = remembered;  // with only SmartScreen: the host an earlier event remembered
    return outcome;
}

}  // namespace varnok
