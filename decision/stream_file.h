// One alternate data stream of one file ("file:stream"), held in memory as key=value text.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <type_traits>

namespace varnok {

// What a read found.
enum class StreamState {
    kLoaded,      // the stream was read into `text`
    kMissing,     // there is no such stream (nor, perhaps, its file)
    kUnreadable,  // it is there but could not be read: shared with nobody, access denied, a failed read
};

// What an update did.
enum class StreamUpdate {
    kWritten,    // the changed text is in the stream
    kUnchanged,  // the change left the stream's bytes as they were, or asked for no write
    kRefused,    // the stream was read only in part, so it was not written
    kFailed,     // the file is gone, or the stream could not be opened, locked, read or written
};

// The text of one stream of one file, read and written whole. It owns only the text: no handle
// stays open between operations. Each instance belongs to the one thread handling one event; the
// stream itself is shared with every other event of the file, in this process and others.
//
// Every open shares read, write and delete with every other handle, so the library never keeps a
// writer, a reader or a delete or rename of the file from going ahead. No handle stays open
// between operations. No operation lets an exception out.
//
// Writers of one stream exclude one another, and readers that ask for it exclude writers, through
// a byte-range lock on the stream itself at kStreamLockOffset: the lock belongs to the file, not to
// the name it was opened by, and holds across processes. It is never held while anything but the
// stream's own reading and writing runs.
class StreamFile {
public:
    StreamFile(const std::wstring& file_path, const std::wstring& stream_name, bool create_if_missing);

    // Reads the stream into `text`, without a lock (for streams the library does not write).
    // Missing: the stream is created empty when create_if_missing is set (the answer is then
    // Loaded if that worked); `text` stays as it was. Unreadable: `text` stays as it was. Only the
    // first kStreamReadLimit bytes of a longer stream are read, and its text then ends at its last
    // complete line.
    StreamState Read() noexcept;
    bool Load() noexcept { return Read() == StreamState::kLoaded; }

    // As Read, under a shared lock: never sees a write of an update half done.
    StreamState ReadLocked() noexcept;

    // The value of the first match of the key (see stream_text.h); `value` is left alone when
    // there is none.
    bool GetValue(const std::wstring& key, std::wstring& value) const noexcept;

    // Appends key=value as a new line, or replaces the value of every match of the key.
    void SetValue(const std::wstring& key, const std::wstring& value) noexcept;

    // Replaces the stream's content with `text` under an exclusive lock. Writes nothing when the
    // text is not the whole stream (`whole`), when the file does not exist (it is never created),
    // or when the stream can't be opened for writing. A missing stream of an existing file is
    // created.
    void Save() noexcept;

    // One read-modify-write, atomic with respect to every other update and locked read of the
    // stream: under an exclusive lock, reads the stream into `text` (an empty text when it is
    // missing), calls change(*this), which changes `text` and answers whether to write it, and
    // writes the result when its bytes differ from what was read. `change` runs with the lock held:
    // it must only work on the text. It is not called when the stream could not be read (Failed);
    // it is called on a text that is not whole, which is then not written (Refused). A missing
    // stream is created only on an existing file.
    using TextChange = bool (*)(void* p_context, StreamFile& stream);
    StreamUpdate Update(TextChange change, void* p_context) noexcept;

    template <class Change>
    StreamUpdate Update(Change&& change) noexcept {
        using Callable = std::remove_reference_t<Change>;
        return Update([](void* p_context, StreamFile& stream) { return (*static_cast<Callable*>(p_context))(stream); },
                      static_cast<void*>(&change));
    }

    std::filesystem::path path;  // the file's path + ":" + the stream's name
    std::wstring file_path;
    std::wstring text;
    bool whole = true;  // whether `text` came from the whole stream (see DecodeStream)
    bool create_if_missing;
};

// While it lives, no update of the stream is under way and none can start: it holds the stream's
// lock shared (waiting for an update to end). The library opens a handle that writes a stream only
// while it holds the exclusive lock, so none of its handles writes the stream meanwhile. Some file
// systems count a file and its streams as one for sharing (ntfs-3g under Wine does), so that the
// library's own write of "varnok" for one event refuses another event's open of the file itself;
// that open is tried again under this guard. Holds nothing when the stream is missing.
class QuietStream {
public:
    explicit QuietStream(const StreamFile& stream);
    QuietStream(const QuietStream&) = delete;
    QuietStream& operator=(const QuietStream&) = delete;
    ~QuietStream();

private:
    void* h_stream_ = nullptr;
};

// The byte that the lock covers: far beyond any data a stream can hold, so the lock never keeps a
// reader or writer of the stream's bytes from going ahead.
inline constexpr unsigned long long kStreamLockOffset = 1ULL << 62;

// For tests: called, when set, by an update or locked read that finds the lock held and is about
// to wait for it.
extern std::atomic<void (*)()> g_stream_lock_wait_hook;

}  // namespace varnok
