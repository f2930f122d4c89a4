// The file that one event judges: its folder held, its age tested, its streams checked against it.
#include "judged_file.h"

#include <algorithm>
#include <optional>

#include "file_age.h"
#include "record_format.h"
#include "trace.h"

namespace varnok {
namespace {

// While it lives, no update of the record is under way and none can start: it holds the record's
// lock shared (waiting, within the limit, for an update to end). The library opens a handle that
// writes a record only while it holds the exclusive lock, so none of its handles writes meanwhile.
// Some file systems count a file and its streams as one for sharing (ntfs-3g under Wine does), so
// that the library's own write of the record for one event refuses another event's open of the file
// itself; that open is tried again under this guard. Holds nothing when the record is missing.
class QuietRecord {
public:
    QuietRecord(HANDLE folder, const std::wstring& record_name, const std::wstring& record_path) {
        Opened opened = OpenInFolder(folder, record_name, GENERIC_READ, kShareAll, Disposition::kOpenExisting);
        if (opened.handle) {
            record_ = std::move(opened.handle);
            lock_.emplace(record_.Get(), LockMode::kShared,
                          FileKey(FileIndexOf(record_.Get()).value_or(0), record_path));
        }
    }

    // Whether the wait for the lock ran out: the library's own updates held the record past the
    // bound (one of them may be held up), or another process holds its lock.
    [[nodiscard]] bool RanOut() const { return lock_ && lock_->State() == LockState::kBusy; }

private:
    UniqueHandle record_;
    std::optional<StreamLock> lock_;  // released before the handle closes
};

// Whether the folder that the handle is open on is the one that its exact name designates below
// the name's root ("\\?\C:", "\\?\UNC"), and not one that a link in the name, swapped in just
// before the open, led to. A drive that is itself a link (subst, a mapped share) or a volume mounted
// in a folder counts as another: there the record is unknown, and the file is scanned. (A link to a
// folder of the very same path on another volume is not told apart.)
bool IsTheNamedFolder(HANDLE folder, std::wstring_view name) {
    constexpr std::wstring_view kUncRoot = L"\\\\?\\UNC";
    const std::size_t below = name.starts_with(kUncRoot) ? kUncRoot.size() : name.find(L'\\', 4);
    std::wstring_view expected = below == std::wstring_view::npos ? std::wstring_view(L"\\") : name.substr(below);
    const std::optional<std::wstring> reached = PathOnVolumeOf(folder);
    if (!reached) {
        return false;
    }
    std::wstring_view path = *reached;
    for (std::wstring_view* const side : {&expected, &path}) {
        if (side->size() > 1 && side->back() == L'\\') {
            side->remove_suffix(1);
        }
    }
    return ::CompareStringOrdinal(path.data(), static_cast<int>(path.size()), expected.data(),
                                  static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

Judgement JudgedFile::Judge(const FileLocation& location, std::wstring_view stream,
                            std::initializer_list<OriginStream*> origin_streams) {
    leaf_ = location.leaf;
    record_name_ = leaf_ + L":" + kRecordStream;
    volume_name_ = VolumeOfName(location.folder);
    const std::wstring record_path = location.folder + L"\\" + record_name_;
    const std::wstring judged_name = stream.empty() ? leaf_ : leaf_ + L":" + std::wstring(stream);
    Opened folder = OpenFolder(location.folder);
    if (!folder.handle) {
        return Judgement::kUnopenable;
    }
    folder_ = std::move(folder.handle);
    const auto open_for_the_age_test = [&] {
        return OpenInFolder(judged_name, GENERIC_READ, kShareAllButWriting, Disposition::kOpenExisting);
    };
    Opened file = open_for_the_age_test();
    bool writers_let_in = false;
    if (!file.handle && file.error == ERROR_SHARING_VIOLATION) {
        // The writer may be the library's own update of the record for another event of the file,
        // where one set of share modes covers the file and its streams: once more while none runs.
        const QuietRecord quiet(folder_.Get(), record_name_, record_path);
        file = open_for_the_age_test();
        if (!file.handle && file.error == ERROR_SHARING_VIOLATION && quiet.RanOut()) {
            // Past the bound the writer may still be the library's own: whoever it is must not
            // spare the file its scan, which goes on with the record unknown.
            file = OpenInFolder(judged_name, GENERIC_READ, kShareAll, Disposition::kOpenExisting);
            writers_let_in = true;
        }
    }
    if (!file.handle || !IsDiskFile(file.handle.Get())) {
        return Judgement::kUnopenable;
    }
    // A file whose times can't be read counts as recent, and its version as unknown.
    const std::optional<FileFacts> facts = FactsOf(file.handle.Get());
    if (IsFileRecent(facts ? std::optional(facts->creation_time) : std::nullopt) == 0) {
        return Judgement::kOld;
    }
    file_index_ = FileIndexOf(file.handle.Get());
    record_lock_key_ = FileKey(file_index_.value_or(0), record_path);
    for (OriginStream* const origin_stream : origin_streams) {
        if (origin_stream != nullptr) {
            origin_stream->OpenInFolder(folder_.Get(), leaf_);
        }
    }
    // Through a link swapped in for the folder, maybe into another user's folder, the file judged may
    // not be the one that the host, opening the name again, scans: no record of it is read or written.
    own_record_ = !writers_let_in && IsTheNamedFolder(folder_.Get(), location.folder) && facts.has_value() &&
                  file_index_.has_value() &&
                  std::all_of(origin_streams.begin(), origin_streams.end(), [&](const OriginStream* origin_stream) {
                      return origin_stream == nullptr || origin_stream->Look() != Presence::kPresent ||
                             Owns(origin_stream->FileIndex());
                  });
    if (!own_record_) {
        Trace(L"the record of ", leaf_, L" counts as unknown: the file's times or index can't be read, an ",
              L"origin stream in its folder is not the file's, its folder was reached through a link, or it ",
              L"was judged with its writers let in");
        return Judgement::kRecent;
    }
    version_ = facts->version;
    const std::optional<FileIdentity> identity = IdentityOf(file.handle.Get());
    own_record_ = identity.has_value();
    if (identity) {
        identity_ = *identity;
    }
    return Judgement::kRecent;
}

void JudgedFile::CountRecordAsUnknown(const wchar_t* why) {
    own_record_ = false;
    Trace(L"the record of ", leaf_, L" counts as unknown and is not written: ", why);
}

bool JudgedFile::Owns(std::optional<std::uint64_t> file_index) const {
    return file_index.has_value() && file_index == file_index_;
}

bool JudgedFile::IsTheJudgedFile(HANDLE handle) const {
    const std::optional<FileIdentity> identity = IdentityOf(handle);
    return identity && *identity == identity_;
}

Opened JudgedFile::OpenInFolder(std::wstring_view name, ACCESS_MASK access, DWORD share,
                                Disposition disposition) const {
    return varnok::OpenInFolder(folder_.Get(), name, access, share, disposition);
}

UniqueHandle JudgedFile::OpenItsOwn(const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD& error) {
    Opened opened = OpenInFolder(name, access, share, Disposition::kOpenExisting);
    error = opened.error;
    if (opened.handle && !Owns(FileIndexOf(opened.handle.Get()))) {
        CountRecordAsUnknown(L"its name in the folder leads to another file");
        error = ERROR_FILE_NOT_FOUND;
        return UniqueHandle();
    }
    return std::move(opened.handle);
}

}  // namespace varnok
