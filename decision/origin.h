// Where a file came from and in which zone Windows placed it, from its "Zone.Identifier" stream or,
// failing that, from the host the library remembered in the file's record; and whether an earlier
// scan of the file, as it is now, found it clean.
#pragma once

#include <cstdint>
#include <string>

#include "judged_file.h"
#include "record_key.h"
#include "stream_file.h"
#include "varnokclient.h"

namespace varnok {

// Not inline: clang guards an inline variable's construction with the C++ runtime's lock, whose
// threading library then keeps state for the loading thread that no unload of the DLL gives back.
const std::wstring kZoneId = L"ZoneId";
const std::wstring kHostUrl = L"HostUrl";
const std::wstring kReferrerUrl = L"ReferrerUrl";
const std::wstring kUnknownHost = L"unknown host";

// Zone of a file whose Zone.Identifier holds no usable ZoneId, or can't be read: the internet zone,
// so it is scanned.
inline constexpr std::int32_t kForcedScanZone = 3;

// Whether the record holds a clean result that the library recorded itself, under this key, for
// this very file, as it is now: ScanResult 2 as the library writes it, with the judged file's
// identity and version and the seal that the key gives them. Any other record, an old one without
// a seal among them, counts as holding no result.
bool HoldsTrustedCleanResult(const StreamFile& record, const JudgedFile& judged, const RecordKey& key);

// Works out the origin, once the stored result has spared no scan: the answer is the origin, empty
// when none is known. When Zone.Identifier loaded, the origin is recorded as HostUrl in the record
// (`record`, as ReadRecord last read it; `record_state` what that read found) before the file is
// scanned. With only SmartScreen, the origin is the HostUrl the record remembers. An origin stream
// that is there but can't be read counts as a Zone.Identifier that says nothing: zone 3, the
// remembered host or else "unknown host", so the file is scanned. A record that is not known to be
// the file's own is neither read nor written. Writes the zone into file_info.ZoneId when one is
// known. Logs, through the host's callback `log`, only after the record is released.
std::wstring EvaluateOrigin(const StreamFile& zone_identifier, StreamState zone_identifier_state,
                            StreamState smart_screen_state, StreamFile& record, StreamState record_state,
                            JudgedFile& judged, FileInfo& file_info, ::LogCallback log);

}  // namespace varnok
