#include "tools/bench/bench_floor.h"

#include <windows.h>

#include <optional>
#include <string>

#include "file_calls.h"
#include "lifecycle.h"
#include "record_format.h"
#include "record_key.h"
#include "record_seal.h"
#include "reported_name.h"
#include "stream_content.h"
#include "stream_lock.h"
#include "stream_state.h"
#include "stream_text.h"
#include "tools/bench/bench_flight.h"
#include "tools/bench/bench_scenarios.h"

namespace bench {
namespace {

using varnok::Disposition;
using varnok::FileFacts;
using varnok::FileIdentity;
using varnok::FileIndexOf;
using varnok::kShareAll;
using varnok::kShareAllButWriting;
using varnok::LockMode;
using varnok::Opened;
using varnok::OpenInFolder;
using varnok::StreamLock;
using varnok::StreamText;
using varnok::UniqueHandle;

VolumeFacts g_volume;

// The file of one event as the floor judged it: what the decision of its scenario needs of it.
struct Judged {
    UniqueHandle folder;
    std::wstring leaf;
    std::wstring record_name;
    FileFacts facts;
    FileIdentity identity;
    std::uint64_t index = 0;  // also the key of the file's lock in this process
    bool bound = false;
};

Judged JudgeDownload(const varnok::FileLocation& location, UniqueHandle& zone_identifier) {
    Judged judged;
    judged.folder = varnok::OpenFolder(location.folder).handle;
    judged.leaf = location.leaf;
    judged.record_name = location.leaf + L":" + varnok::kRecordStream;
    const Opened file =
        OpenInFolder(judged.folder.Get(), judged.leaf, GENERIC_READ, kShareAllButWriting, Disposition::kOpenExisting);
    varnok::IsDiskFile(file.handle.Get());
    judged.facts = varnok::FactsOf(file.handle.Get()).value_or(FileFacts{});
    const std::optional<std::uint64_t> index = FileIndexOf(file.handle.Get());
    judged.index = index.value_or(0);
    // Zone.Identifier is read through the folder held, never through the look by name.
    zone_identifier = OpenInFolder(judged.folder.Get(), judged.leaf + L":Zone.Identifier", GENERIC_READ, kShareAll,
                                   Disposition::kOpenExisting)
                          .handle;
    // The folder is the one its name gives, not one that a link swapped in led to.
    varnok::PathOnVolumeOf(judged.folder.Get());
    judged.bound = index == FileIndexOf(zone_identifier.Get());
    if (judged.bound) {
        judged.identity = varnok::IdentityOf(file.handle.Get()).value_or(FileIdentity{});
    }
    return judged;
}

// The record opened in the folder and read through its handle, which stays open.
struct RecordRead {
    UniqueHandle stream;
    std::string bytes;
    bool whole = true;
};

RecordRead ReadRecord(const Judged& judged) {
    RecordRead read;
    read.stream =
        OpenInFolder(judged.folder.Get(), judged.record_name, GENERIC_READ, kShareAll, Disposition::kOpenExisting)
            .handle;
    if (read.stream) {
        FileIndexOf(read.stream.Get());
        varnok::ReadStreamBytes(read.stream.Get(), read.bytes, read.whole);
    }
    return read;
}

// Writes the record held against writers, as the volume's share modes allow it (known from the
// benchmark's own probe, as the library learns it once from its own refused creation), and sets the
// time back.
void WriteRecord(const Judged& judged, const std::string& before, const std::string& after, bool create) {
    const ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | (create ? DELETE : 0);
    const Disposition disposition = create ? Disposition::kCreateNew : Disposition::kOpenExisting;
    const ACCESS_MASK guard_access = g_volume.one_set_of_share_modes
                                         ? FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES
                                         : FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    const UniqueHandle guard =
        OpenInFolder(judged.folder.Get(), judged.leaf, guard_access,
                     g_volume.one_set_of_share_modes ? kShareAll : kShareAllButWriting, Disposition::kOpenExisting)
            .handle;
    FileIndexOf(guard.Get());
    Opened writer = OpenInFolder(judged.folder.Get(), judged.record_name, access, kShareAllButWriting, disposition);
    if (create) {
        varnok::IdentityOf(writer.handle.Get());  // a new stream that is the file: streams live inside it
    }
    FileIndexOf(writer.handle.Get());
    std::optional<StreamLock> lock;
    if (create) {
        lock.emplace(writer.handle.Get(), LockMode::kExclusive, varnok::FileKey(judged.index, judged.record_name));
    }
    varnok::FactsOf(guard.Get());
    varnok::ReplaceStreamBytes(writer.handle.Get(), before, after);
    if (!g_volume.one_set_of_share_modes) {
        lock.reset();
        writer.handle.Reset();
    }
    varnok::SetLastWriteTime(guard.Get(), judged.facts.version.last_write_time);
}

// Changes the record as read, and writes it only when its bytes change: under its lock, from the
// record as it is then, or made anew when it was missing.
template <class Change>
void UpdateRecord(const Judged& judged, RecordRead& read, Change change) {
    const auto changed = [&] {
        StreamText record = varnok::DecodeStream(read.bytes, read.whole);
        change(record);
        return varnok::EncodeStreamText(record.text);
    };
    std::string wanted = changed();
    if (!read.stream) {
        WriteRecord(judged, "", wanted, true);
        return;
    }
    if (wanted == read.bytes) {
        return;
    }
    const StreamLock lock(read.stream.Get(), LockMode::kExclusive, varnok::FileKey(judged.index, judged.record_name));
    varnok::ReadStreamBytes(read.stream.Get(), read.bytes, read.whole);
    WriteRecord(judged, read.bytes, changed(), false);
}

// The decision's calls for one event of the scenario, and its verdict.
std::int32_t DecideFloor(const std::wstring& name, const varnok::HostCallbacks& host, const varnok::RecordKey& key,
                         const varnok::FileEvent& event) {
    const Scenario scenario = ScenarioOfPath(name);
    const varnok::FileLocation location = *varnok::LocateFile(name);
    const std::wstring exact = varnok::ExactName(location);
    varnok::OpenByName(exact + L":Zone.Identifier", GENERIC_READ, kShareAll);  // a look: it is there, or not
    if (scenario == Scenario::kNoOrigin) {
        varnok::OpenByName(exact + L":SmartScreen", GENERIC_READ, kShareAll);
        return 2;
    }
    UniqueHandle zone_identifier;
    const Judged judged = JudgeDownload(location, zone_identifier);
    RecordRead record;
    if (judged.bound) {
        record = ReadRecord(judged);
        if (key.SealedCleanFor(varnok::DecodeStreamBytes(record.bytes), judged.identity, judged.facts.version)) {
            return 2;
        }
    }
    // A stream that is not proven its file's may be a pipe: read only if it is a file on a disk.
    std::string origin_bytes;
    bool origin_whole = true;
    if (judged.bound || varnok::IsDiskFile(zone_identifier.Get())) {
        varnok::ReadStreamBytes(zone_identifier.Get(), origin_bytes, origin_whole);
    }
    const std::wstring host_url = L"https://downloads.example/tools/" + location.leaf;
    if (judged.bound) {
        UpdateRecord(judged, record, [&](StreamText& text) { text.SetValue(varnok::kHostUrl, host_url); });
        record = RecordRead{};
    }
    FileInfo file_info{};
    file_info.FileName = name.c_str();
    file_info.ZoneId = 3;
    file_info.Source = host_url.c_str();
    const std::int32_t verdict = host.scan(file_info, event.value2, event.value1);
    if (judged.bound) {
        const varnok::ScanRecord scanned{judged.identity, judged.facts.version, verdict};
        const varnok::Seal seal = *key.SealOf(scanned);
        RecordRead after = ReadRecord(judged);
        UpdateRecord(judged, after, [&](StreamText& text) {
            text.SetValue(varnok::kScanResult, std::to_wstring(verdict));
            text.SetValue(varnok::kFileName, name);
            varnok::SetRecordSeal(text.text, scanned, seal);
        });
    }
    return verdict;
}

varnok::HResult FloorEvent(const varnok::FileEvent& event, const varnok::VerdictSink& sink,
                           const varnok::HostCallbacks& host, const varnok::RecordKey& key) noexcept {
    std::int32_t verdict = 2;
    try {
        verdict = DecideFloor(std::wstring(event.file_name), host, key, event);
    } catch (...) {
        verdict = 2;  // memory ran out: the event still gets its one verdict
    }
    return sink.send(sink.context, verdict);
}

}  // namespace

VolumeFacts ProbeVolume(const std::filesystem::path& folder) {
    VolumeFacts facts;
    const std::wstring file = (folder / L"probe.exe").wstring();
    if (!WriteDownloadedFile(file, "probe.exe")) {
        return facts;
    }
    {
        const Opened whole = varnok::OpenByName(file, FILE_READ_DATA, kShareAllButWriting);
        const Opened stream = varnok::OpenByName(file + L":Zone.Identifier", GENERIC_READ, kShareAll);
        facts.streams_are_the_files =
            whole.handle && stream.handle && FileIndexOf(whole.handle.Get()) == FileIndexOf(stream.handle.Get());
        const UniqueHandle writer(::CreateFileW((file + L":Zone.Identifier").c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        facts.one_set_of_share_modes = !writer && ::GetLastError() == ERROR_SHARING_VIOLATION;
    }
    ::DeleteFileW(file.c_str());
    g_volume = facts;
    return facts;
}

bool StartFloorClient(const DriverConfig& config, const VolumeFacts& volume) {
    g_volume = volume;
    return SUCCEEDED(varnok::FilterInit(&config, ScanAtOnce, nullptr, nullptr, FloorEvent));
}

bool StopFloorClient() { return SUCCEEDED(varnok::ClientDisconnect()); }

}  // namespace bench
