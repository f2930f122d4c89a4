// Where a file came from and in which zone Windows placed it: from its "Zone.Identifier" stream,
// or, failing that, from the host that the library remembered in the file's record. Reading the
// origin changes nothing; remembering it is the record's business (scan_event.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "stream_state.h"
#include "stream_text.h"

namespace varnok {

// Not inline, as record_format.h says why.
const std::wstring kZoneId = L"ZoneId";
const std::wstring kReferrerUrl = L"ReferrerUrl";
const std::wstring kUnknownHost = L"unknown host";

// Zone of a file whose Zone.Identifier holds no usable ZoneId, or can't be read: the internet zone,
// so it is scanned.
inline constexpr std::int32_t kForcedScanZone = 3;

struct Origin {
    std::wstring host;  // empty: no origin known
    std::int32_t zone = 0;
    // Zone.Identifier's own host, to be remembered in the record before the scan.
    bool from_zone_identifier = false;
    // A warning for the host's log, ASCII, or null.
    const char* warning = nullptr;
};

// The origin, once the stored result has spared no scan. With Zone.Identifier read, its zone and its
// host (its HostUrl, else a ReferrerUrl that is a URL, else "unknown host"); a ZoneId that is missing
// or no number in the 32-bit range counts as zone 3, with a warning. Without it, the HostUrl that the
// record remembers (`record`, read as `record_state` says). An origin stream that is there but can't
// be read counts as a Zone.Identifier that says nothing: zone 3, the remembered host or else "unknown
// host", with a warning, so the file is scanned: whoever can hold a stream open without sharing must
// not thereby spare the file its scan.
Origin ReadOrigin(const StreamText& zone_identifier, StreamState zone_identifier_state, StreamState smart_screen_state,
                  const StreamText& record, StreamState record_state);

}  // namespace varnok
