#include "scan/origin.h"

#include "log/log.h"
#include "scan/origin_rules.h"

namespace varnok {
namespace {

void LogMalformedZoneIdentifier() { Log(LogLevel::WARN, "Malformed Zone.Identifier - force scan."); }

// The zone number of a ZoneId value; one that is no number in the 32-bit range forces a scan.
std::int32_t ReadZoneNumber(const std::wstring& zone_id) {
    if (const auto zone = ParseDecimalInt32(zone_id)) {
        return *zone;
    }
    LogMalformedZoneIdentifier();
    return kForcedScanZone;
}

// The HostUrl of Zone.Identifier taken whole; without one, a ReferrerUrl that is a URL, and
// otherwise "unknown host".
std::wstring ReadHostText(StreamFile& zone_identifier) {
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

void RememberHost(StreamFile& varnok, const std::wstring& host_url) {
    varnok.SetValue(kHostUrl, host_url);
    varnok.Save();
}

}  // namespace

std::wstring EvaluateOrigin(StreamFile& zone_identifier, bool zone_identifier_loaded, StreamFile& varnok,
                            FileInfo& file_info) {
    std::wstring file_source;
    if (zone_identifier_loaded) {
        std::wstring zone_id;
        const bool zone_id_found = zone_identifier.GetValue(kZoneId, zone_id);
        if (!zone_id_found) {
            LogMalformedZoneIdentifier();
        }
        const std::wstring host_url = ReadHostText(zone_identifier);
        RememberHost(varnok, host_url);
        file_source = host_url;
        file_info.ZoneId = zone_id_found ? ReadZoneNumber(zone_id) : kForcedScanZone;
    }
    if (file_source.empty()) {
        std::wstring host_url;
        if (varnok.GetValue(kHostUrl, host_url)) {
            file_source = host_url;
        }
    }
    return file_source;
}

}  // namespace varnok
