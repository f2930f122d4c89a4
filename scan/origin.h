// Where a file came from and in which zone Windows placed it, from its "Zone.Identifier" stream or,
// failing that, from the host the library remembered in the file's "varnok" stream.
#pragma once

#include <string>

#include "scan/stream_file.h"
#include "varnokclient.h"

namespace varnok {

inline const std::wstring kZoneId = L"ZoneId";
inline const std::wstring kHostUrl = L"HostUrl";
inline const std::wstring kReferrerUrl = L"ReferrerUrl";
inline const std::wstring kUnknownHost = L"unknown host";

// Zone of a file whose Zone.Identifier holds no usable ZoneId: the internet zone, so it is scanned.
inline constexpr std::int32_t kForcedScanZone = 3;

// Yields the file's origin text (empty when none is known) and writes its zone into
// file_info.ZoneId when Zone.Identifier loaded; in that case it also records the origin as HostUrl
// in "varnok" and saves that stream before the file is scanned.
std::wstring EvaluateOrigin(StreamFile& zone_identifier, bool zone_identifier_loaded, StreamFile& varnok,
                            FileInfo& file_info);

}  // namespace varnok
