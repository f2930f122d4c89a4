// A stream's bytes, read up to the limit, and replaced so that a failure leaves them as they were.
//
// Both go through the file layer's one door (file_call_door.h), in pieces, from the stream's start.
#pragma once

#include <windows.h>

#include <string>

namespace varnok {

// The stream's first bytes, at most kStreamReadLimit of them, read from its start, and whether they
// are all of it; false when it can't be read.
bool ReadStreamBytes(HANDLE stream, std::string& bytes, bool& bytes_are_whole);

// Makes `after` the whole content of the stream, which holds `before` now (nothing for a stream just
// made). A replacement that fails leaves `before` there: a stream that grows is sized first, so that a
// full disk refuses it before a byte is written; bytes already written when a write fails (another
// process's byte-range lock, a device error) are written back; a stream that shrinks is cut last.
// Nothing is ever cut to zero and written anew, which some file systems (ext4) write out at the close.
bool ReplaceStreamBytes(HANDLE stream, const std::string& before, const std::string& after);

}  // namespace varnok
