// What a read of a stream from its file found: its text, no such stream, or a stream that is there
// but could not be read.
#pragma once

namespace varnok {

enum class StreamState {
    kLoaded,      // the stream was read into its text
    kMissing,     // there is no such stream (nor, perhaps, its file)
    kUnreadable,  // it is there but could not be read: shared with nobody, access denied, a failed
                  // read, no file on a disk, not the judged file's, or a lock held too long
};

}  // namespace varnok
