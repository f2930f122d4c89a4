// Where a file came from and in which zone Windows placed it, from its "Zone.Identifier" stream or,
// failing that, from the host the library remembered in the file's "varnok" stream; and whether an
// earlier scan of the file found it clean.
#pragma once

#include <cstdint>
#include <string>

#include "stream_file.h"
#include "varnokclient.h"

namespace varnok {

inline const std::wstring kZoneId = L"ZoneId";
inline const std::wstring kHostUrl = L"HostUrl";
inline const std::wstring kReferrerUrl = L"ReferrerUrl";
inline const std::wstring kUnknownHost = L"unknown host";
inline const std::wstring kScanResult = L"ScanResult";

// Zone of a file whose Zone.Identifier holds no usable ZoneId, or can't be read: the internet zone,
// so it is scanned.
inline constexpr std::int32_t kForcedScanZone = 3;

// What the origin streams and the stored result say about one event's file. Owns its text; lives on
// the handling worker's stack.
struct OriginOutcome {
    bool clean_result_stored = false;  // "varnok" holds ScanResult 2: no scan, nothing written
    std::wstring file_source;          // the origin; empty when none is known
};

// Reads the stored result and works out the origin. When Zone.Identifier loaded, the stored result
// is read and the origin recorded as HostUrl in "varnok" in one update of that stream, before the
// file is scanned. An origin stream that is there but can't be read counts as a Zone.Identifier
// that says nothing: zone 3, the remembered host or else "unknown host", so the file is scanned.
// Writes the zone into file_info.ZoneId when one is known. Logs, through the host's callback `log`,
// only after "varnok" is released.
OriginOutcome EvaluateOrigin(StreamFile& zone_identifier, StreamState zone_identifier_state,
                             StreamState smart_screen_state, StreamFile& varnok, FileInfo& file_info,
                             ::LogCallback log);

}  // namespace varnok
