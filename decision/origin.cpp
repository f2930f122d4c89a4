// Where a file came from: its Zone.Identifier's zone and host, or the host its record remembers.
#include "origin.h"

#include "origin_rules.h"
#include "record_format.h"

namespace varnok {
namespace {

// The HostUrl of Zone.Identifier taken whole; without one, a ReferrerUrl that is a URL, and
// otherwise "unknown host".
std::wstring ReadHostText(const StreamText& zone_identifier) {
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

Origin FromZoneIdentifier(const StreamText& zone_identifier) {
    Origin origin;
    std::wstring zone_id;
    const auto zone = zone_identifier.GetValue(kZoneId, zone_id) ? ParseDecimalInt32(zone_id) : std::nullopt;
    origin.zone = zone.value_or(kForcedScanZone);
    origin.warning = zone ? nullptr : "Malformed Zone.Identifier - force scan.";
    origin.host = ReadHostText(zone_identifier);
    origin.from_zone_identifier = true;
    return origin;
}

}  // namespace

Origin ReadOrigin(const StreamText& zone_identifier, StreamState zone_identifier_state, StreamState smart_screen_state,
                  const StreamText& record, StreamState record_state) {
    if (zone_identifier_state == StreamState::kLoaded) {
        return FromZoneIdentifier(zone_identifier);
    }
    Origin origin;
    if (record_state == StreamState::kLoaded) {
        record.GetValue(kHostUrl, origin.host);
    }
    if (zone_identifier_state == StreamState::kUnreadable || smart_screen_state == StreamState::kUnreadable) {
        origin.warning = zone_identifier_state == StreamState::kUnreadable ? "Unreadable Zone.Identifier - force scan."
                                                                           : "Unreadable SmartScreen - force scan.";
        origin.zone = kForcedScanZone;
        if (origin.host.empty()) {
            origin.host = kUnknownHost;
        }
    }
    return origin;  // with only SmartScreen: the host an earlier event remembered, or none
}

}  // namespace varnok
