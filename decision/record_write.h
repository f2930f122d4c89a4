// How the record's bytes go into the judged file: held against writers, its time set back, written
// only where streams are shown to live inside their files, and as it was if the write fails.
//
// While the record is written the file is held against writers, and afterwards its last-write time
// is set back to the judged version's, so that the file's modified time keeps telling of its content
// and not of the library's bookkeeping (writing a named stream moves it on); unless the file had
// changed already, or a writer of it was at work, whose change then shows.
#pragma once

#include <string>

#include "file_calls.h"
#include "judged_file.h"

namespace varnok {

enum class RecordWrite {
    kWritten,
    kUnknown,        // the record is not, or no longer, known to be the file's: nothing written
    kFailed,         // the file is gone, or the record could not be opened or written
    kMadeMeanwhile,  // it was to be created, and another event made it first
};

// The writer of one event's record; it remembers what the event has shown.
class RecordWriter {
public:
    explicit RecordWriter(JudgedFile& file) : file_(file) {}

    // Makes `after` the record's content in place of `before`, which the record holds now: the
    // caller holds the record's exclusive lock, or creates it (nothing before).
    RecordWrite Write(const std::string& before, const std::string& after, Disposition disposition);

private:
    // A record that is already there is written only once this event has shown that streams live
    // inside their files in the file's folder: a stream that it made there, by an open that can only
    // create (so no link, nor anything else that was there), is the judged file. On a file system
    // without streams, as Wine's ordinary one, "x.exe:varnok" is a name in the folder like any other,
    // and can be a link to the file's data or to a file elsewhere, whose index is then the file's. The
    // record made in the event shows it; else a probe stream made beside it and deleted at once.
    bool ProveStreamsLiveInside();

    JudgedFile& file_;
    bool streams_inside_ = false;  // shown in this event
};

}  // namespace varnok
