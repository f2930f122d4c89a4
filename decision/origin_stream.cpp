// A download-origin stream: looked for by name, read inside the held folder.
#include "origin_stream.h"

#include "file_calls.h"
#include "stream_content.h"
#include "trace.h"

namespace varnok {

OriginStream::OriginStream(const std::wstring& exact_file_name, std::wstring stream_name)
    : name_(std::move(stream_name)) {
    const Opened look = OpenByName(exact_file_name + L":" + name_, GENERIC_READ, kShareAll);
    if (look.handle) {
        presence_ = Presence::kPresent;
    } else {
        presence_ = IsMissing(look.error) ? Presence::kMissing : Presence::kRefused;
    }
}

void OriginStream::OpenInFolder(HANDLE folder, const std::wstring& leaf) {
    if (presence_ != Presence::kPresent) {
        return;
    }
    Opened opened =
        varnok::OpenInFolder(folder, leaf + L":" + name_, GENERIC_READ, kShareAll, Disposition::kOpenExisting);
    if (opened.handle) {
        in_folder_ = std::move(opened.handle);
        file_index_ = FileIndexOf(in_folder_.Get());
    }
}

StreamState OriginStream::Read(StreamText& into, bool its_file) {
    if (presence_ == Presence::kMissing) {
        return StreamState::kMissing;
    }
    const UniqueHandle stream = std::move(in_folder_);
    if (!stream) {
        return StreamState::kUnreadable;  // refused by name, or not there inside the folder
    }
    try {
        std::string bytes;
        bool bytes_are_whole = true;
        if ((its_file || IsDiskFile(stream.Get())) && ReadStreamBytes(stream.Get(), bytes, bytes_are_whole)) {
            into = DecodeStream(bytes, bytes_are_whole);
            return StreamState::kLoaded;
        }
    } catch (...) {
        Trace(L"reading ", name_, L" stopped by an exception");
    }
    return StreamState::kUnreadable;
}

}  // namespace varnok
