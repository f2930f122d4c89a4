// Files whose owner means harm: each judged as itself, every event answered, nothing else touched.
#include <thread>

#include "blocking_call.h"
#include "tests/support/handler_harness.h"

namespace varnok::test {
namespace {

// The extended-length name that creates a file Win32 would otherwise rewrite.
std::wstring Extended(const std::filesystem::path& path) { return L"\\\\?\\" + path.wstring(); }

// ---- Unix links and FIFOs, which Wine follows as Windows follows a link or a pipe (Wine makes none) --

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

// Runs a Unix program (Windows paths by their Unix names) until `watched` exists or is gone, bounded.
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
    // Wine gives no process handle and leaves garbage in hThread: neither is closed. A FIFO has no attributes.
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

// Removed by name: a folder's removal tells no FIFO from a file nor a link from its folder.
void RemoveUnixObject(const std::wstring& name) {
    EXPECT_TRUE(RunUnix(L"/bin/rm", {L"-f", name}, name, false)) << Narrow(name);
}
// Names removed one by one at the end of the scope, by `remove`.
struct Removed {
    std::vector<std::wstring> names;
    void (*remove)(const std::wstring&) = RemoveUnixObject;
    ~Removed() {
        for (const std::wstring& name : names) {
            remove(name);
        }
    }
};

using HostileFileTest = HandlerTest;

// Names Win32 would rewrite, and one beyond MAX_PATH: each scanned with its own origin, the decoy untouched.
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
    Removed removal{{}, [](const std::wstring& name) { ::DeleteFileW(name.c_str()); }};
    int round = 0;
    for (const std::wstring& name : names) {
        removal.names.push_back(Extended(folder_.path / name));
        SCOPED_TRACE(testing::Message() << "'" << name << "'");
        const std::filesystem::path path = folder_.path / name;
        const std::wstring host = L"https://origin.example/" + std::to_wstring(round++);
        ASSERT_TRUE(OpenName(Extended(path), GENERIC_WRITE, CREATE_ALWAYS));
        WriteStream(Extended(path), L"Zone.Identifier",
                    "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + Narrow(host) + "\r\n");
        EXPECT_TRUE(Scanned(path.wstring(), 3, host));
        const std::wstring readable = name == names.back() ? path.wstring() : Extended(path);  // Wine: deep, plain
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

// The download's folder swapped for a link to another and back, at the look, the folder's open or the
// scan, leads nowhere else: the other folder, empty or with a decoy, stays as it was.
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
            const bool the_look = site.call == FileCall::kOpen && site.name.ends_with(L"\\x.exe:Zone.Identifier");
            const bool the_folder =
                site.call == FileCall::kOpen && site.name.ends_with(downloads.path.filename().wstring());
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
    ~WatchedAsAWorker() {
        ::SetEvent(stop.Get());
        canceller.join();
        WatchThisThread(nullptr);
    }
};

// The record holds whole lines only, each the library's: host, verdict, name, or the seal's.
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

// Every file call of an event in turn failed, or held up until cancelled: one verdict, a whole record.
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

// Grows a file a byte at a time, keeping in `found` a first line with "="; ends then, or when `go` goes.
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

// A FIFO in a stream's place or the file's is never read; where a stream is a file beside its file (off
// NTFS, on tmpfs with NTFS's serial) links to another's file of changing size: nothing is written there.
TEST_F(AnyVolumeHandlerTest, UnixObjectsInAFilesPlaceAreNeverReadNorWritten) {
    VARNOK_REQUIRE_WINE();
    const TempFolder ordinary(TempFolder::Volume::kOrdinary);
    const std::wstring piped_stream = ordinary.File(L"piped-stream.exe");
    const std::wstring piped_file = (ordinary.path / L"piped-file.exe").wstring();
    const Removed fifos{{piped_stream + L":Zone.Identifier", piped_file}};
    ASSERT_TRUE(RunUnix(L"/usr/bin/mkfifo", {fifos.names[0]}, fifos.names[0]));
    EXPECT_TRUE(Scanned(piped_stream, 3, L"unknown host", L"Unreadable Zone.Identifier - force scan."));

    ASSERT_TRUE(RunUnix(L"/usr/bin/mkfifo", {piped_file}, piped_file));
    WriteStream(piped_file, L"Zone.Identifier", kDownloadZone);
    ExpectUnscanned(piped_file, kEFail,
                    {NewEvent(piped_file),
                     {VARNOK_LOG_INFO, piped_file + L" Could not open file."},
                     {VARNOK_LOG_WARN, L" Could not open file."}});
    EXPECT_EQ(RecordOf(piped_file), std::nullopt);

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
        const Removed links{{file, file + L":Zone.Identifier", file + L":" + kRecordStream}};
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
