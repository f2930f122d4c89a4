// The library's record beside each file: the name of its stream and the keys of its lines, spelled
// here and nowhere else, for the library, its tools and its tests. The text of the lines is that of
// every stream (stream_text.h); what the seal's keys hold is record_seal.h's. Free of windows.h.
#pragma once

#include <array>
#include <string>

namespace varnok {

// Not inline: clang guards an inline variable's construction with the C++ runtime's lock, whose
// threading library then keeps state for the loading thread that no unload of the DLL gives back.

// The file's alternate data stream that holds the record: "x.exe:varnok".
const std::wstring kRecordStream = L"varnok";

// The origin: the host that the file came from, as the download's "Zone.Identifier" names it under
// the same key, and as the record remembers it for events that find only "SmartScreen".
const std::wstring kHostUrl = L"HostUrl";
// The last verdict of the host's scan, in decimal.
const std::wstring kScanResult = L"ScanResult";
// The file's name as the driver reported it.
const std::wstring kFileName = L"FileName";

// The keys of the seal that binds a clean result to the file as its scan found it.
const std::wstring kFileIdKey = L"FileId";                // 16 hex digits of the serial, "-", 32 of the ID
const std::wstring kFileSizeKey = L"FileSize";            // decimal
const std::wstring kLastWriteTimeKey = L"LastWriteTime";  // decimal, 100-ns intervals since 1601
const std::wstring kResultSealKey = L"ResultSeal";        // 64 hex digits
const std::array<const std::wstring*, 4> kSealKeys = {&kFileIdKey, &kFileSizeKey, &kLastWriteTimeKey, &kResultSealKey};

}  // namespace varnok
