// Files whose owner means harm. Each file is judged as itself, every event gets its verdict, and
// nothing outside the file's folder is created or changed.
#include <thread>

#include "blocking_call.h"
#include "tests/support/file_seam.h"
#include "tests/support/handler_harness.h"

namespace varnok::test {
namespace {

// The extended-length name that creates a file Win32 would otherwise rewrite.
std::wstring Extended(const std::filesystem::path& path) { return L"\\\\?\\" + path.wstring(); }

// ---- Unix objects that Wine follows -----------------------------------------------------------------
// Wine 8 makes no links of its own, but its programs can start Unix programs, and Wine follows what
// they make as Windows follows a link or a pipe. The tests that need them skip on Windows.

std::optional<std::string> UnixName(const std::wstring& path) {
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    const auto to_unix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* const name = to_unix != nullptr ? to_unix(path.c_str()) : nullptr;
    if (name == nullptr) {
        return std::nullopt;
    }
    std::string unix_name(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return unix_name;
}

#define VARNOK_REQUIRE_WINE()                                                                   \
    do {                                                                                        \
        if (!UnixName(L"C:\\")) {                                                               \
            GTEST_SKIP() << "Needs Wine: Unix links and FIFOs stand in for what Windows links"; \
        }                                                                                       \
    } while (false)

// Runs a Unix program on those arguments (Windows paths by their Unix names) and waits, within a
// generous bound, until `watched` exists or is gone: Wine can't wait for it, so its work shows only
// in the file system.
bool RunUnix(const std::wstring& program, const std::vector<std::wstring>& arguments, const std::wstring& watched,
             bool exists = true) {
    std::wstring command_line = program;
    for (const std::wstring& argument : arguments) {
        const std::optional<std::string> word = argument.starts_with(L"-") ? Narrow(argument) : UnixName(argument);
        if (!word) {
            return false;
        }
        command_line += L" " + std::wstring(word->begin(), word->end());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW((L"Z:" + program).c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return false;
    }
    // For a Unix program Wine gives no process handle and leaves whatever was on its stack in hThread,
    // which may be the value of a handle the library holds: neither is closed.
    // Opened, not asked for its attributes, which Wine can't give of a FIFO.
    const auto there = [&] {
        return UniqueHandle(::CreateFileW(watched.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr))
            .IsValid();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (there() != exists) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::Sleep(1);
    }
    return true;
}

bool MakeUnixLink(const std::wstring& link, const std::wstring& target) {
    return RunUnix(L"/bin/ln", {L"-s", target, link}, link);
}

// Removed by name (what a link leads to stays): a scratch folder's own removal can tell neither a FIFO
// from a file nor a link from its folder.
void RemoveUnixObject(const std::wstring& name) {
    EXPECT_TRUE(RunUnix(L"/bin/rm", {L"-f", name}, name, false)) << Narrow(name);
}
struct RemovedUnixObjects {
    std::vector<std::wstring> names;
    ~RemovedUnixObjects() {
        for (const std::wstring& name : names) {
            RemoveUnixObject(name);
        }
    }
};

using HostileFileTest = HandlerTest;

// Names that Win32 would rewrite (a trailing dot or space, device names) and one beyond MAX_PATH:
// each file is scanned with its own origin, and the decoy Win32 would open instead is left alone.
TEST_F(HostileFileTest, NamesThatWin32RewritesAreJudgedAsThemselves) {
    const std::wstring decoy = folder_.File(L"x.exe", "decoy");
    AgeFile(decoy, std::chrono::hours(48));
    std::filesystem::path deep;
    for (wchar_t level = L'a'; level < L'g'; ++level) {
        deep /= std::wstring(50, level);
    }
    ASSERT_TRUE(std::filesystem::create_directories(folder_.path / deep));
    const std::vector<std::wstring> names = {L"x.exe.",  L"x.exe ",   L"nul",
                                             L"con.txt", L"com1.exe", (deep / L"download.exe").wstring()};
    ASSERT_GT((folder_.path / names.back()).wstring().size(), static_cast<std::size_t>(MAX_PATH));
    // Removed by their extended names: the scratch folder's removal, through Win32, can't reach them.
    const struct RemoveByExtendedName {
        const std::filesystem::path& folder;
        const std::vector<std::wstring>& names;
        ~RemoveByExtendedName() {
            for (const std::wstring& name : names) {
                ::DeleteFileW(Extended(folder / name).c_str());
            }
        }
    } removal{folder_.path, names};
    int round = 0;
    for (const std::wstring& name : names) {
        SCOPED_TRACE(testing::Message() << "'" << name << "'");
        const std::filesystem::path path = folder_.path / name;
        const std::wstring host = L"https://origin.example/" + std::to_wstring(round++);
        ASSERT_TRUE(OpenName(Extended(path), GENERIC_WRITE, CREATE_ALWAYS));
        WriteStream(Extended(path), L"Zone.Identifier",
                    "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + Narrow(host) + "\r\n");
        EXPECT_TRUE(Scanned(path.wstring(), 3, host));
        // (Wine opens a stream of the deep file by its plain name only.)
        const std::wstring readable = name == names.back() ? path.wstring() : Extended(path);
        EXPECT_EQ(UnsealedRecordOf(readable), Record(host, kHostVerdict, path.wstring()));
    }
    EXPECT_EQ(RecordOf(decoy), std::nullopt);
}

// Each file under a folder and its known streams, with their bytes and the files' times.
using FolderState = std::vector<std::pair<std::wstring, std::optional<std::string>>>;
FolderState StateOf(const std::filesystem::path& folder) {
    FolderState state;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        const std::wstring name = entry.path().wstring();
        state.emplace_back(name, ReadStream(name, L""));
        for (const std::wstring& stream : {kRecordStream, std::wstring(L"Zone.Identifier")}) {
            state.emplace_back(name + L":" + stream, ReadStream(name, stream));
        }
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data);
        state.emplace_back(name + L" written", std::to_string(data.ftLastWriteTime.dwLowDateTime) + "/" +
                                                   std::to_string(data.ftLastWriteTime.dwHighDateTime));
    }
    return state;
}

// The owner swaps the download's folder for a link to another, and back. Between the look for
// Zone.Identifier by name and the open of the folder: the host gets the judged file's origin. Just
// before the folder's open, and back before the host opens the name: the library judged the other
// folder's file, and the host scanned the owner's, so nothing of that scan is recorded anywhere. During
// the scan: the record goes to the judged file. The other folder holds nothing or a decoy with an
// origin and a record of its own; either way it stays as it was.
TEST_F(HostileFileTest, FolderSwappedForALinkLeadsNowhereElse) {
    VARNOK_REQUIRE_WINE();
    enum class SwapAt { kTheLook, kTheFolder, kTheScan };
    struct Case {
        SwapAt at;
        bool decoy;
    };
    const std::string decoy_zone = "[ZoneTransfer]\r\nZoneId=4\r\nHostUrl=https://decoy.example/\r\n";
    for (const Case swap : {Case{SwapAt::kTheLook, true}, Case{SwapAt::kTheFolder, true}, Case{SwapAt::kTheScan, true},
                            Case{SwapAt::kTheScan, false}}) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(swap.at) << swap.decoy);
        const TempFolder downloads(folder_.path);
        const TempFolder elsewhere(folder_.path);
        const std::wstring folder = downloads.path.wstring();
        const std::wstring file = downloads.Download(L"x.exe");
        if (swap.decoy) {
            WriteStream(elsewhere.Download(L"x.exe", decoy_zone), kRecordStream,
                        Line(kHostUrl, "https://decoy.example/"));
        }
        const FolderState before = StateOf(elsewhere.path);
        bool swapped = false;
        bool swapped_back = false;
        const auto swap_folder = [&] {
            std::filesystem::rename(folder, folder + L".real");
            swapped = MakeUnixLink(folder, elsewhere.path.wstring());
        };
        const auto swap_back = [&] {
            RemoveUnixObject(folder);
            std::filesystem::rename(folder + L".real", folder);
            swapped_back = true;
        };
        Forget();
        Host().answer = [&](const ScanCall&) {
            if (swap.at == SwapAt::kTheScan) {
                swap_folder();
            } else if (swap.at == SwapAt::kTheFolder) {
                swap_back();
            }
            return kHostVerdict;
        };
        const ScopedSeam seam([&](const FileCallSite& site) {
            const bool the_look = site.call == FileCall::kOpen && EndsWith(site.name, L"\\x.exe:Zone.Identifier");
            const bool the_folder =
                site.call == FileCall::kOpen && EndsWith(site.name, downloads.path.filename().wstring());
            if (!swapped &&
                ((swap.at == SwapAt::kTheLook && the_look) || (swap.at == SwapAt::kTheFolder && the_folder))) {
                swap_folder();
            } else if (swap.at == SwapAt::kTheLook && swapped && !swapped_back && the_folder) {
                swap_back();
            }
            return Proceed();
        });
        const bool judged_elsewhere = swap.at == SwapAt::kTheFolder;
        EXPECT_TRUE(judged_elsewhere ? Scanned(file, 4, L"https://decoy.example/") : Scanned(file));
        if (!swapped_back) {
            swap_back();
        }
        EXPECT_TRUE(swapped && swapped_back);
        EXPECT_EQ(StateOf(elsewhere.path), before);
        EXPECT_EQ(UnsealedRecordOf(file), judged_elsewhere ? "" : Record(kDownloadHost, kHostVerdict, file));
    }
}

// The test's thread, watched as the supervisor watches a worker, but cancelled after a moment.
struct WatchedAsAWorker {
    BlockingCallWatch watch;
    UniqueHandle thread;
    UniqueHandle stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread canceller;

    WatchedAsAWorker() {
        HANDLE self = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        thread.Reset(self);
        WatchThisThread(&watch);
        canceller = std::thread([this] {
            while (::WaitForSingleObject(stop.Get(), 10) == WAIT_TIMEOUT) {
                CancelBlockingCall(watch, thread.Get(), ::GetTickCount64() - 20);
            }
        });
    }
    WatchedAsAWorker(const WatchedAsAWorker&) = delete;
    WatchedAsAWorker& operator=(const WatchedAsAWorker&) = delete;
    ~WatchedAsAWorker() {
        ::SetEvent(stop.Get());
        canceller.join();
        WatchThisThread(nullptr);
    }
};

// The record holds whole lines only, each the library's: the host, the event's verdict, the name,
// or the seal's.
bool IsWholeRecord(const std::string& record, std::int32_t verdict, const std::wstring& file) {
    std::string rest = WithoutSeal(record);
    for (const std::string& line : {Line(kHostUrl, Narrow(kDownloadHost)), Line(kScanResult, std::to_string(verdict)),
                                    Line(kFileName, Narrow(file))}) {
        if (const std::size_t at = rest.find(line); at != std::string::npos) {
            rest.erase(at, line.size());
        }
    }
    return rest.empty() && (record.empty() || record.ends_with("\r\n"));
}

// Every file call of an event in turn fails, or is held up until the watch cancels it (an oplock
// break nobody acknowledges, a silent server): one verdict each time, and a record of whole lines.
TEST_F(HostileFileTest, EveryFileCallFailedOrHeldUpStillLeavesOneVerdictAndAWholeRecord) {
    EXPECT_EQ(Handle(folder_.Download(L"warm-up.exe")), kSOk);  // the volume's share modes learnt
    int call = 0;
    int target = -1;
    bool hold_up = false;
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kWait || call++ != target) {
            return Proceed();
        }
        return hold_up ? BlockUntilCancelled() : Fail(ERROR_IO_DEVICE);
    });
    call = 0;
    EXPECT_EQ(Handle(folder_.Download(L"counted.exe")), kSOk);
    const int calls = call;
    EXPECT_GT(calls, 20);
    const WatchedAsAWorker watched;
    for (const bool held : {false, true}) {
        hold_up = held;
        for (target = 0; target < calls; ++target) {
            SCOPED_TRACE(testing::Message() << (held ? "held up: call " : "failed: call ") << target);
            Forget();
            const std::wstring file =
                folder_.Download((held ? L"held-" : L"failed-") + std::to_wstring(target) + L".exe");
            call = 0;
            Handle(file);
            ASSERT_EQ(Verdicts().size(), 1u);
            EXPECT_TRUE(IsWholeRecord(RecordOf(file).value_or(""), Verdicts()[0], file)) << RecordOf(file).value_or("");
        }
    }
    EXPECT_EQ(g_blocks_not_cancelled, 0);
}

// A FIFO in a stream's place (Wine off NTFS keeps a stream as a file beside its file) or the file's:
// opening or reading it would wait for ever. The stream counts as unreadable, the file as unopenable.
TEST_F(AnyVolumeHandlerTest, PipesInPlaceOfStreamsAndFilesAreNeverRead) {
    VARNOK_REQUIRE_WINE();
    const TempFolder ordinary(TempFolder::Volume::kOrdinary);
    const std::wstring piped_stream = ordinary.File(L"piped-stream.exe");
    const std::wstring piped_file = (ordinary.path / L"piped-file.exe").wstring();
    const RemovedUnixObjects fifos{{piped_stream + L":Zone.Identifier", piped_file}};
    ASSERT_TRUE(RunUnix(L"/usr/bin/mkfifo", {fifos.names[0]}, fifos.names[0]));
    EXPECT_TRUE(Scanned(piped_stream, 3, L"unknown host", L"Unreadable Zone.Identifier - force scan."));

    ASSERT_TRUE(RunUnix(L"/usr/bin/mkfifo", {piped_file}, piped_file));
    WriteStream(piped_file, L"Zone.Identifier", kDownloadZone);
    ExpectUnscanned(piped_file, kEFail,
                    {NewEvent(piped_file),
                     {VARNOK_LOG_INFO, piped_file + L" Could not open file."},
                     {VARNOK_LOG_WARN, L" Could not open file."}});
    EXPECT_EQ(RecordOf(piped_file), std::nullopt);
}

// Keeps changing a file's size a byte at a time and looks at its first line now and then: one with
// "=" (it writes only "A") is kept in `found`. It ends then, once `go` is gone, or after a while.
constexpr char kSizeChanger[] =
    "v=$1; go=$2; found=$3; n=0\n"
    "while [ -e \"$go\" ] && [ $n -lt 4000 ]; do\n"
    "  i=0\n"
    "  while [ $i -lt 300 ]; do printf A >> \"$v\"; i=$((i+1)); done\n"
    "  line=; IFS= read -r line < \"$v\"\n"
    "  case \"$line\" in *=*) printf '%s\\n' \"$line\" > \"$found\"; exit 0;; esac\n"
    "  : > \"$v\"\n"
    "  n=$((n+1))\n"
    "done\n";

// Where a stream is a file beside its file (off NTFS, and on the tmpfs with the NTFS volume's serial
// number), a file and its stream names can all be links to another's file elsewhere, whose every
// index agrees and whose size a Unix process keeps changing. Whatever the library learnt of the NTFS
// volume, nothing is written into that file nor made beside it.
TEST_F(AnyVolumeHandlerTest, StreamNamesThatAreLinksToAFileElsewhereNeverWriteIt) {
    VARNOK_REQUIRE_WINE();
    EXPECT_EQ(Handle(folder_.Download(L"first.exe")), kSOk);  // a record made, where streams are true ones
    for (const std::filesystem::path& parent :
         {std::filesystem::temp_directory_path(), std::filesystem::path(L"Z:\\dev\\shm")}) {
        SCOPED_TRACE(parent.string());
        if (!std::filesystem::is_directory(parent)) {
            continue;
        }
        const TempFolder elsewhere(parent);
        const TempFolder owned(parent);
        const std::wstring victim = elsewhere.File(L"settings.ini", "A");
        const std::wstring script = owned.File(L"size-changer.sh", kSizeChanger);
        const std::wstring go = owned.File(L"go");  // removed with its folder, if not before
        const std::wstring found = (owned.path / L"found").wstring();
        const std::wstring file = (owned.path / L"x.exe").wstring();
        const RemovedUnixObjects links{{file, file + L":Zone.Identifier", file + L":" + kRecordStream}};
        for (const std::wstring& link : links.names) {
            ASSERT_TRUE(MakeUnixLink(link, victim)) << Narrow(link);
        }
        ASSERT_TRUE(RunUnix(L"/bin/sh", {script, victim, go, found}, script));
        for (int event = 0; event < 40 && !std::filesystem::exists(found); ++event) {
            Forget();
            EXPECT_EQ(Handle(file), kSOk);
            EXPECT_EQ(Verdicts().size(), 1u);
        }
        std::filesystem::remove(go);
        EXPECT_FALSE(std::filesystem::exists(found)) << "a record was written into the file elsewhere";
        std::vector<std::wstring> beside_victim;
        for (const auto& entry : std::filesystem::directory_iterator(elsewhere.path)) {
            beside_victim.push_back(entry.path().filename().wstring());
        }
        EXPECT_EQ(beside_victim, std::vector<std::wstring>{L"settings.ini"});
    }
}

}  // namespace
}  // namespace varnok::test
