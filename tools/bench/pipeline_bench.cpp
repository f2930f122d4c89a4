// The pipeline benchmark: varnokclient.dll handling file events that each need the whole work (three
// stream loads, the open and the age test, the origin and its save, the scan, the final save, the
// verdict), against the floor: the same file-system operations on the same files and the same three
// port messages per event, done by a minimal client that decides nothing. Both run in the same
// process against the driver simulator, with one event in flight and with 25, in alternating rounds.
// Then the library's memory and handles over a long run.
//
// Timestamps: an event's post time is taken on the posting thread just before SimPostNotification;
// its verdict time in the host's ScanResultCallback, which the library calls on its worker right
// after the verdict command reached the driver (the minimal client calls the same function at the
// same point). That costs the workers a clock read and a store, and polls nothing.
#include <windows.h>

#include <fltuser.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "driver_sim.h"
#include "tools/common/process_usage.h"
#include "unique_handle.h"
#include "varnokclient.h"
#include "wire.h"

namespace {

using varnok::UniqueHandle;

constexpr std::uint32_t kPoolThreads = 25;         // the library's workers, and so the most events in flight
constexpr DWORD kWaitMs = 30000;                   // a stalled run is reported, not waited for forever
constexpr std::uint32_t kTrafficResetEvery = 500;  // keeps the simulator's records of commands small
constexpr std::size_t kStreamBufferBytes = 64 * 1024;

// ---- Options -------------------------------------------------------------------------------------

struct Options {
    std::uint32_t files = 2000;
    // Wine looks a name that is not there up by reading the whole folder, so in a folder of thousands
    // of files every absent SmartScreen stream costs more than the rest of the event, for the
    // pipeline and the floor alike. Larger folders show what each such lookup costs.
    std::uint32_t files_per_folder = 100;
    std::uint32_t rounds = 5;
    std::uint32_t serial_events = 500;     // per run with one event in flight
    std::uint32_t parallel_events = 2000;  // per run with 25 in flight
    std::uint32_t warm_up_events = 200;
    std::uint32_t soak_first = 1000;
    std::uint32_t soak_events = 100000;
    std::uint32_t hot_events = 500;   // the hot-file run: events, all for one file; 0 skips it
    std::uint32_t hot_scan_ms = 100;  // how long each of its scans takes
    bool log = true;
    std::filesystem::path folder;  // where the files go; empty: the temporary folder
};

void PrintUsage() {
    std::fputs(
        "usage: varnok_bench [--files N] [--per-folder N] [--rounds N] [--serial N] [--parallel N]\n"
        "                    [--warm-up N] [--soak-first N] [--soak N] [--hot N] [--hot-scan-ms N] [--no-log]\n"
        "                    [--folder DIR]\n"
        "  --files N       files with a download origin, cycled through (default 2000)\n"
        "  --per-folder N  files per folder (100)\n"
        "  --rounds N      alternating rounds of the pipeline and the floor; the best counts (5)\n"
        "  --serial N      events per run with one event in flight (500)\n"
        "  --parallel N    events per run with 25 in flight (2000)\n"
        "  --warm-up N     events before each client's measured runs (200)\n"
        "  --soak-first N  events before the first memory reading (1000)\n"
        "  --soak N        events before the second memory reading; 0 skips the soak (100000)\n"
        "  --hot N         events of the hot-file run, 25 in flight all for one file; 0 skips it (500)\n"
        "  --hot-scan-ms N how long each scan of the hot-file run takes (100)\n"
        "  --no-log        start the library without a LogCallback\n"
        "  --folder DIR    make the files in a folder of their own under DIR (the temporary folder)\n",
        stderr);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--no-log") {
            options.log = false;
            continue;
        }
        if (name == "--folder" && i + 1 < argc) {
            options.folder = argv[++i];
            continue;
        }
        std::uint32_t* pValue = nullptr;
        if (name == "--files") {
            pValue = &options.files;
        } else if (name == "--per-folder") {
            pValue = &options.files_per_folder;
        } else if (name == "--rounds") {
            pValue = &options.rounds;
        } else if (name == "--serial") {
            pValue = &options.serial_events;
        } else if (name == "--parallel") {
            pValue = &options.parallel_events;
        } else if (name == "--warm-up") {
            pValue = &options.warm_up_events;
        } else if (name == "--soak-first") {
            pValue = &options.soak_first;
        } else if (name == "--soak") {
            pValue = &options.soak_events;
        } else if (name == "--hot") {
            pValue = &options.hot_events;
        } else if (name == "--hot-scan-ms") {
            pValue = &options.hot_scan_ms;
        }
        if (pValue == nullptr || i + 1 >= argc) {
            return false;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(argv[++i], &end, 10);
        if (end == argv[i] || *end != '\0') {
            return false;
        }
        *pValue = static_cast<std::uint32_t>(value);
    }
    return options.files >= 2 * kPoolThreads && options.hot_scan_ms >= 1 && options.files_per_folder >= 1 &&
           options.rounds >= 1 && options.serial_events >= 1 && options.parallel_events >= 1 &&
           (options.soak_events == 0 || (options.soak_first >= 1 && options.soak_events > options.soak_first));
}

// ---- Time --------------------------------------------------------------------------------------------

std::int64_t Now() {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// User and kernel time of this process so far, in microseconds (the wineserver's own time is not in it).
double ProcessCpuMicroseconds() {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    const auto join = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(join(kernel) + join(user)) / 10.0;
}

double TicksToMs(std::int64_t ticks) {
    static const double ticks_per_ms = [] {
        LARGE_INTEGER frequency{};
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    return static_cast<double>(ticks) / ticks_per_ms;
}

// ---- The files ---------------------------------------------------------------------------------------

std::string Narrow(std::wstring_view text) {
    std::string bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

bool WriteWhole(const std::wstring& name, std::string_view bytes) {
    const UniqueHandle hFile(::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return hFile && ::WriteFile(hFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string ReadWhole(const std::wstring& name) {
    const UniqueHandle hFile(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    std::string bytes(kStreamBufferBytes, '\0');
    DWORD read = 0;
    if (!hFile || !::ReadFile(hFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return {};
    }
    bytes.resize(read);
    return bytes;
}

// The "varnok" stream as the library leaves it after scanning the file with result 1. Each event
// rewrites it with the same text, so a file needs the whole work however often it comes back.
std::string VarnokStreamOf(const std::wstring& path, const std::string& host_url) {
    return "HostUrl=" + host_url + "\r\nScanResult=1\r\nFileName=" + Narrow(path) + "\r\n";
}

// N downloaded files, fresh (created now, so within the age limit), each with a Zone.Identifier of
// the internet zone with a HostUrl and a "varnok" stream from an earlier event whose scan was not
// clean. No SmartScreen stream. Named "dNNN\\fNNNNNN.exe" under one folder of the process.
struct BenchFiles {
    std::filesystem::path folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> varnok_streams;

    BenchFiles() = default;
    BenchFiles(const BenchFiles&) = delete;
    BenchFiles& operator=(const BenchFiles&) = delete;
    ~BenchFiles() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

bool CreateBenchFiles(const std::filesystem::path& root, std::uint32_t count, std::uint32_t per_folder,
                      BenchFiles& files) {
    files.folder = (root.empty() ? std::filesystem::temp_directory_path() : root) /
                   (L"varnok-bench-" + std::to_wstring(::GetCurrentProcessId()));
    std::error_code error;
    std::filesystem::remove_all(files.folder, error);
    if (!std::filesystem::create_directories(files.folder, error)) {
        return false;
    }
    const auto padded = [](std::uint32_t number, std::size_t width) {
        const std::wstring digits = std::to_wstring(number);
        return std::wstring(digits.size() < width ? width - digits.size() : 0, L'0') + digits;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::filesystem::path folder = files.folder / (L"d" + padded(i / per_folder, 3));
        if (i % per_folder == 0 && !std::filesystem::create_directory(folder, error)) {
            return false;
        }
        const std::wstring name = L"f" + padded(i, 6) + L".exe";
        const std::wstring path = (folder / name).wstring();
        const std::string host_url = "https://downloads.example/tools/" + Narrow(name);
        const std::string varnok = VarnokStreamOf(path, host_url);
        if (!WriteWhole(path, "MZ downloaded program") ||
            !WriteWhole(path + L":Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + host_url + "\r\n") ||
            !WriteWhole(path + L":varnok", varnok)) {
            return false;
        }
        files.paths.push_back(path);
        files.varnok_streams.push_back(varnok);
    }
    return true;
}

// The file's index, from the digits of its name "f000123.exe".
std::uint32_t FileIndexOf(const wchar_t* path) {
    const wchar_t* const name = std::wcsrchr(path, L'\\');
    std::uint32_t index = 0;
    for (const wchar_t* p = name != nullptr ? name + 2 : path; *p >= L'0' && *p <= L'9'; ++p) {
        index = index * 10 + static_cast<std::uint32_t>(*p - L'0');
    }
    return index;
}

// ---- Events in flight ----------------------------------------------------------------------------------

// One posting thread per event in flight, as one driver thread per file operation waiting for its
// verdict: it posts an event for one of its own files, waits for that event's verdict and posts the
// next. (A single poster could not keep 25 in flight under Wine: its posts queue at the wineserver
// behind the requests of 25 workers.) Lane l owns the files whose index is l modulo the lane count,
// so no two events in flight name the same file.
struct alignas(64) Lane {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE answered = CONDITION_VARIABLE_INIT;
    std::int64_t event = -1;  // the event in flight, -1 when none; guarded by lock
    std::uint32_t file = 0;   // its file; guarded by lock
};

struct Flight {
    Lane lanes[kPoolThreads];
    std::atomic<std::uint32_t> lane_count{1};
    std::vector<std::int64_t> posted;  // per event of a recorded run
    std::vector<std::int64_t> answered;
    std::atomic<std::int64_t> last_answer{0};
    std::atomic<std::uint64_t> scans{0};
    std::atomic<std::uint64_t> log_lines{0};
    std::atomic<std::uint64_t> stray_verdicts{0};
};

Flight g_flight;

// Called once per event at its verdict, by the library's ScanResultCallback or by the minimal client.
// Everything is recorded before the lane learns of the verdict, so a finished run reads it whole.
void OnVerdict(const wchar_t* path) {
    const std::int64_t answered_at = Now();
    const std::uint32_t file = FileIndexOf(path);
    Lane& lane = g_flight.lanes[file % g_flight.lane_count.load()];
    ::AcquireSRWLockExclusive(&lane.lock);
    const std::int64_t event = lane.file == file ? lane.event : -1;
    if (event >= 0) {
        if (static_cast<std::size_t>(event) < g_flight.answered.size()) {
            g_flight.answered[static_cast<std::size_t>(event)] = answered_at;
        }
        std::int64_t last = g_flight.last_answer.load();
        while (last < answered_at && !g_flight.last_answer.compare_exchange_weak(last, answered_at)) {
        }
        lane.event = -1;
    }
    ::ReleaseSRWLockExclusive(&lane.lock);
    if (event < 0) {
        g_flight.stray_verdicts.fetch_add(1);
        return;
    }
    ::WakeConditionVariable(&lane.answered);
}

// The hot-file run: every event names the same file; each verdict lets one more event go.
struct HotFile {
    std::atomic<bool> active{false};
    DWORD scan_ms = 0;
    HANDLE hAnswered = nullptr;  // a semaphore, released once per verdict
    std::atomic<std::int64_t> last_answer{0};
};

HotFile g_hot;

// The host's callbacks: a scanner that finds the file infected at once (or, in the hot-file run,
// after a fixed time), a result sink and a log sink.
std::int32_t ScanAtOnce(FileInfo /*file_info*/, std::uint32_t /*value2*/, std::uint32_t /*value1*/) {
    g_flight.scans.fetch_add(1, std::memory_order_relaxed);
    if (g_hot.active.load(std::memory_order_relaxed)) {
        ::Sleep(g_hot.scan_ms);
    }
    return 1;
}

void TakeResult(const wchar_t* path, std::int32_t /*verdict*/) {
    if (g_hot.active.load(std::memory_order_relaxed)) {
        g_hot.last_answer.store(Now());
        ::ReleaseSemaphore(g_hot.hAnswered, 1, nullptr);
        return;
    }
    OnVerdict(path);
}

void TakeLogLine(std::uint32_t /*level*/, const wchar_t* /*text*/) {
    g_flight.log_lines.fetch_add(1, std::memory_order_relaxed);
}

// The notification bodies, cut after the file name as the driver sends them.
struct Poster {
    std::vector<std::vector<std::byte>> bodies;
    std::atomic<std::uint64_t> next_event_id{1};
};

void PrepareBodies(const BenchFiles& files, Poster& poster) {
    for (const std::wstring& path : files.paths) {
        const std::size_t length = offsetof(varnok::ScanNotification, FileName) + (path.size() + 1) * sizeof(wchar_t);
        std::vector<std::byte> body(length);
        varnok::ScanNotification head{};
        head.Kind = varnok::kKindFileEvent;
        head.Value1 = 0x1111;
        head.Value2 = 0x2222;
        head.Value3 = 0x3333;
        std::memcpy(body.data(), &head, offsetof(varnok::ScanNotification, FileName));
        std::memcpy(body.data() + offsetof(varnok::ScanNotification, FileName), path.c_str(),
                    (path.size() + 1) * sizeof(wchar_t));
        poster.bodies.push_back(std::move(body));
    }
}

struct RunResult {
    bool ok = false;
    std::uint32_t events = 0;
    double seconds = 0;
    std::vector<double> latencies_ms;  // recorded runs only
    double mean_in_flight = 0;         // the latencies' sum over the run's time: the events truly in flight
    double cpu_us_per_event = 0;       // the process's CPU time over the run, per event
};

// What the lanes of one run share.
struct DriveState {
    Poster& poster;
    std::uint32_t events;
    std::uint32_t lane_count;
    bool record;
    std::atomic<std::uint32_t> next_event{0};
    std::atomic<bool> failed{false};
};

void RunLane(DriveState& state, std::uint32_t lane_index, HANDLE hGo) {
    Lane& lane = g_flight.lanes[lane_index];
    const auto file_count = static_cast<std::uint32_t>(state.poster.bodies.size());
    std::uint32_t file = lane_index;
    std::vector<std::byte> body;
    ::WaitForSingleObject(hGo, INFINITE);
    for (std::uint32_t event = state.next_event++; event < state.events && !state.failed.load();
         event = state.next_event++) {
        body = state.poster.bodies[file];
        const std::uint64_t event_id = state.poster.next_event_id++;
        std::memcpy(body.data() + offsetof(varnok::ScanNotification, EventId), &event_id, sizeof(event_id));
        ::AcquireSRWLockExclusive(&lane.lock);
        lane.event = event;
        lane.file = file;
        ::ReleaseSRWLockExclusive(&lane.lock);
        if (event % kTrafficResetEvery == 0) {
            SimResetTraffic();
        }
        const std::int64_t posted_at = Now();
        if (state.record) {
            g_flight.posted[event] = posted_at;
        }
        if (const HRESULT hr = SimPostNotification(body.data(), static_cast<std::uint32_t>(body.size()),
                                                   sizeof(varnok::ScanReply), nullptr, kWaitMs);
            FAILED(hr)) {
            std::fprintf(stderr, "posting event %u failed: 0x%08lx\n", event, static_cast<unsigned long>(hr));
            state.failed.store(true);
            return;
        }
        ::AcquireSRWLockExclusive(&lane.lock);
        bool answered = true;
        while (answered && lane.event >= 0) {
            answered = ::SleepConditionVariableSRW(&lane.answered, &lane.lock, kWaitMs, 0) != FALSE;
        }
        ::ReleaseSRWLockExclusive(&lane.lock);
        if (!answered) {
            std::fprintf(stderr, "no verdict for event %u in %lu s (%llu scans so far)\n", event, kWaitMs / 1000,
                         static_cast<unsigned long long>(g_flight.scans.load()));
            state.failed.store(true);
            return;
        }
        file += state.lane_count;
        if (file >= file_count) {
            file = lane_index;
        }
    }
}

// Posts `events` file events from `lane_count` lanes, so that as many are in flight, and waits for
// every verdict.
RunResult Drive(Poster& poster, std::uint32_t events, std::uint32_t lane_count, bool record) {
    RunResult result;
    result.events = events;
    if (events == 0) {
        result.ok = true;
        return result;
    }
    g_flight.posted.assign(record ? events : 0, 0);
    g_flight.answered.assign(record ? events : 0, 0);
    g_flight.lane_count.store(lane_count);
    DriveState state{poster, events, lane_count, record};
    const UniqueHandle hGo(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> lanes;
    for (std::uint32_t i = 0; i < lane_count; ++i) {
        lanes.emplace_back(RunLane, std::ref(state), i, hGo.get());
    }
    const double cpu_before = ProcessCpuMicroseconds();
    const std::int64_t start = Now();
    g_flight.last_answer.store(start);
    ::SetEvent(hGo.get());
    for (std::thread& lane : lanes) {
        lane.join();
    }
    if (state.failed.load()) {
        return result;
    }
    result.cpu_us_per_event = (ProcessCpuMicroseconds() - cpu_before) / events;
    result.seconds = TicksToMs(g_flight.last_answer.load() - start) / 1000.0;
    double latency_sum_ms = 0;
    for (std::uint32_t event = 0; record && event < events; ++event) {
        result.latencies_ms.push_back(TicksToMs(g_flight.answered[event] - g_flight.posted[event]));
        latency_sum_ms += result.latencies_ms.back();
    }
    result.mean_in_flight = latency_sum_ms / (result.seconds * 1000.0);
    result.ok = true;
    return result;
}

// ---- The floor: a minimal client -------------------------------------------------------------------

// The path of one of the file's streams, in a fixed buffer.
struct StreamName {
    wchar_t text[MAX_PATH + 64];
};

StreamName MakeStreamName(std::wstring_view path, std::wstring_view stream) {
    StreamName name{};
    const std::size_t path_length = std::min(path.size(), std::size(name.text) - stream.size() - 2);
    std::wmemcpy(name.text, path.data(), path_length);
    name.text[path_length] = L':';
    std::wmemcpy(name.text + path_length + 1, stream.data(), stream.size());
    return name;
}

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens a stream, reads it with one read and closes it; the bytes read, or -1.
long ReadStreamOnce(const wchar_t* name, std::vector<char>& buffer) {
    const UniqueHandle hStream(::CreateFileW(name, GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD read = 0;
    if (!hStream || !::ReadFile(hStream.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
        return -1;
    }
    return static_cast<long>(read);
}

void WriteStreamOnce(const wchar_t* name, const char* bytes, DWORD length) {
    const UniqueHandle hStream(::CreateFileW(name, GENERIC_WRITE, kShareReadWrite, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (hStream && ::WriteFile(hStream.get(), bytes, length, &written, nullptr)) {
        ::SetEndOfFile(hStream.get());
    }
}

// The file-system work that any client does for one such file, with no decision in it: open and read
// the three streams (SmartScreen is absent, so its open fails), open the file and read its times, and
// write "varnok" twice (its own bytes, so the file stays as it was).
void DoFileWork(const wchar_t* path, std::vector<char>& buffer) {
    const std::wstring_view path_text = path;
    ReadStreamOnce(MakeStreamName(path_text, L"Zone.Identifier").text, buffer);
    ReadStreamOnce(MakeStreamName(path_text, L"SmartScreen").text, buffer);
    const StreamName varnok = MakeStreamName(path_text, L"varnok");
    const long varnok_length = ReadStreamOnce(varnok.text, buffer);
    {
        const UniqueHandle hFile(
            ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME now{};
        FILETIME created{};
        FILETIME accessed{};
        FILETIME written{};
        ::GetSystemTimeAsFileTime(&now);
        if (hFile) {
            ::GetFileTime(hFile.get(), &created, &accessed, &written);
        }
    }
    if (varnok_length > 0) {
        WriteStreamOnce(varnok.text, buffer.data(), static_cast<DWORD>(varnok_length));
        WriteStreamOnce(varnok.text, buffer.data(), static_cast<DWORD>(varnok_length));
    }
}

// The client that decides nothing: its own connection, completion port and 25 threads; per event the
// reply, optionally the file work, and a verdict of 1.
struct FloorClient {
    bool file_work = true;
    UniqueHandle hPort;
    UniqueHandle hCompletionPort;
    std::vector<std::unique_ptr<varnok::ScanMessage>> messages;
    std::vector<std::thread> threads;
    std::atomic<bool> stopping{false};
};

OVERLAPPED* OverlappedOf(varnok::ScanMessage* pMessage) { return reinterpret_cast<OVERLAPPED*>(pMessage->Ovlp); }

varnok::ScanMessage* MessageOf(OVERLAPPED* pOvlp) {
    return reinterpret_cast<varnok::ScanMessage*>(reinterpret_cast<std::byte*>(pOvlp) -
                                                  offsetof(varnok::ScanMessage, Ovlp));
}

// Queues the buffer's receive; true when its completion will come.
bool Receive(FloorClient& client, varnok::ScanMessage* pMessage) {
    const HRESULT hr = ::FilterGetMessage(client.hPort.get(), reinterpret_cast<PFILTER_MESSAGE_HEADER>(pMessage),
                                          varnok::kScanMessageReceiveLength, OverlappedOf(pMessage));
    return hr == S_OK || hr == HRESULT_FROM_WIN32(ERROR_IO_PENDING);
}

void FloorWorker(FloorClient& client) {
    const DWORD thread_id = ::GetCurrentThreadId();
    std::vector<char> buffer(kStreamBufferBytes);
    for (;;) {
        DWORD transferred = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* pOvlp = nullptr;
        if (!::GetQueuedCompletionStatus(client.hCompletionPort.get(), &transferred, &key, &pOvlp, INFINITE) ||
            pOvlp == nullptr) {
            return;  // the receive was cancelled: the client stops
        }
        varnok::ScanMessage* const pMessage = MessageOf(pOvlp);
        varnok::ScanReply reply{};
        reply.MessageId = pMessage->Header.MessageId;
        reply.ThreadId = thread_id;
        ::FilterReplyMessage(client.hPort.get(), reinterpret_cast<PFILTER_REPLY_HEADER>(&reply), sizeof(reply));

        const wchar_t* const path = pMessage->Notification.FileName;
        if (client.file_work) {
            DoFileWork(path, buffer);
        }
        varnok::ScanCommand command{};
        command.Command = varnok::CommandScanResult;
        command.EventId = pMessage->Notification.EventId;
        command.ThreadId = thread_id;
        command.Verdict = 1;
        DWORD returned = 0;
        ::FilterSendMessage(client.hPort.get(), &command, sizeof(command), nullptr, 0, &returned);
        OnVerdict(path);

        if (!Receive(client, pMessage)) {
            return;
        }
        if (client.stopping.load()) {
            ::CancelIoEx(client.hPort.get(), pOvlp);
        }
    }
}

bool StartFloorClient(FloorClient& client) {
    DWORD context = 1;
    HANDLE hPort = nullptr;
    if (FAILED(::FilterConnectCommunicationPort(L"\\VarnokScanPort", 0, &context, sizeof(context), nullptr, &hPort))) {
        return false;
    }
    client.hPort.reset(hPort);
    client.hCompletionPort.reset(::CreateIoCompletionPort(hPort, nullptr, 0, kPoolThreads));
    if (!client.hCompletionPort) {
        return false;
    }
    for (std::uint32_t i = 0; i < kPoolThreads; ++i) {
        client.threads.emplace_back(FloorWorker, std::ref(client));
    }
    for (std::uint32_t i = 0; i < kPoolThreads; ++i) {
        auto pMessage = std::make_unique<varnok::ScanMessage>();
        std::memset(pMessage->Ovlp, 0, sizeof(pMessage->Ovlp));
        if (!Receive(client, pMessage.get())) {
            return false;
        }
        client.messages.push_back(std::move(pMessage));
    }
    return true;
}

// Called with no event in flight: every receive is cancelled and each worker ends on one of them;
// workers of a start that queued fewer receives end on wake-up packets.
void StopFloorClient(FloorClient& client) {
    client.stopping.store(true);
    if (client.hPort) {
        ::CancelIoEx(client.hPort.get(), nullptr);
    }
    for (std::size_t i = client.messages.size(); i < client.threads.size(); ++i) {
        ::PostQueuedCompletionStatus(client.hCompletionPort.get(), 0, 0, nullptr);
    }
    for (std::thread& thread : client.threads) {
        thread.join();
    }
    client.threads.clear();
    client.hCompletionPort.reset();
    client.hPort.reset();
    client.messages.clear();
}

// The file work alone, in a tight loop: `threads` threads take the next event until all are done.
RunResult DriveFileWorkOnly(const BenchFiles& files, std::uint32_t events, std::uint32_t thread_count) {
    std::atomic<std::uint32_t> next{0};
    const UniqueHandle hGo(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (std::uint32_t i = 0; i < thread_count; ++i) {
        threads.emplace_back([&] {
            std::vector<char> buffer(kStreamBufferBytes);
            ::WaitForSingleObject(hGo.get(), INFINITE);
            for (std::uint32_t event = next++; event < events; event = next++) {
                DoFileWork(files.paths[event % files.paths.size()].c_str(), buffer);
            }
        });
    }
    const double cpu_before = ProcessCpuMicroseconds();
    const std::int64_t start = Now();
    ::SetEvent(hGo.get());
    for (std::thread& thread : threads) {
        thread.join();
    }
    RunResult result;
    result.ok = true;
    result.events = events;
    result.seconds = TicksToMs(Now() - start) / 1000.0;
    result.cpu_us_per_event = (ProcessCpuMicroseconds() - cpu_before) / events;
    return result;
}

// ---- Memory ------------------------------------------------------------------------------------------

struct MemoryReading {
    std::uint64_t private_usage = 0;      // PROCESS_MEMORY_COUNTERS_EX.PrivateUsage
    std::uint64_t committed_private = 0;  // committed private pages, summed over the address space
    std::uint64_t heap_in_use = 0;        // busy blocks of all heaps of the process
    DWORD handle_count = 0;               // GetProcessHandleCount (0 under Wine)
    std::uintptr_t handle_slot = 0;       // the slot a fresh handle takes: the lowest free one
};

std::uint64_t CommittedPrivateBytes() {
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    std::uint64_t total = 0;
    auto* address = static_cast<std::byte*>(system.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION region{};
    while (address < system.lpMaximumApplicationAddress && ::VirtualQuery(address, &region, sizeof(region)) != 0) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
        address = static_cast<std::byte*>(region.BaseAddress) + region.RegionSize;
    }
    return total;
}

MemoryReading ReadMemory() {
    MemoryReading reading;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters))) {
        reading.private_usage = counters.PrivateUsage;
    }
    reading.committed_private = CommittedPrivateBytes();
    reading.heap_in_use = varnok::usage::HeapBytesInUse();
    ::GetProcessHandleCount(::GetCurrentProcess(), &reading.handle_count);
    reading.handle_slot = varnok::usage::HandleSlot();
    return reading;
}

double MiB(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }
double SignedMiB(std::uint64_t after, std::uint64_t before) {
    return (static_cast<double>(after) - static_cast<double>(before)) / (1024.0 * 1024.0);
}

// ---- Figures -----------------------------------------------------------------------------------------

struct Figures {
    double events_per_second = 0;
    double median_ms = 0;
    double p99_ms = 0;
    double mean_in_flight = 0;
    double cpu_us_per_event = 0;  // the least of the rounds
    bool has_latency = false;
};

double Percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// The best throughput of the rounds; the latencies of all rounds together.
Figures Summarize(const std::vector<RunResult>& runs) {
    Figures figures;
    std::vector<double> latencies;
    for (const RunResult& run : runs) {
        figures.events_per_second = std::max(figures.events_per_second, run.events / run.seconds);
        latencies.insert(latencies.end(), run.latencies_ms.begin(), run.latencies_ms.end());
        figures.mean_in_flight += run.mean_in_flight / static_cast<double>(runs.size());
        if (figures.cpu_us_per_event == 0 || run.cpu_us_per_event < figures.cpu_us_per_event) {
            figures.cpu_us_per_event = run.cpu_us_per_event;
        }
    }
    std::sort(latencies.begin(), latencies.end());
    figures.has_latency = !latencies.empty();
    figures.median_ms = Percentile(latencies, 0.5);
    figures.p99_ms = Percentile(latencies, 0.99);
    return figures;
}

void PrintFigures(const char* what, std::uint32_t in_flight, const Figures& figures) {
    if (figures.has_latency) {
        std::printf("  %-32s %9u %8.1f %10.0f %10.3f %9.3f %9.0f\n", what, in_flight, figures.mean_in_flight,
                    figures.events_per_second, figures.median_ms, figures.p99_ms, figures.cpu_us_per_event);
    } else {
        std::printf("  %-32s %9u %8s %10.0f %10s %9s %9.0f\n", what, in_flight, "-", figures.events_per_second, "-",
                    "-", figures.cpu_us_per_event);
    }
}

// ---- The runs ----------------------------------------------------------------------------------------

struct Measured {
    std::vector<RunResult> pipeline[2];  // [0]: one event in flight, [1]: 25
    std::vector<RunResult> floor[2];
    std::vector<RunResult> port_only[2];
    std::vector<RunResult> file_only[2];
};

constexpr std::uint32_t kInFlight[2] = {1, kPoolThreads};

bool StartLibrary(const Options& options) {
    SimResetTraffic();
    DriverConfig config;
    std::memset(config.ConfigText, 0, sizeof(config.ConfigText));
    std::wmemcpy(config.ConfigText, L"bench", 5);
    config.ConfigValue1 = 0;
    config.ConfigValue2 = 0;
    if (FilterInit(&config, ScanAtOnce, TakeResult, options.log ? TakeLogLine : nullptr) != S_OK) {
        std::fputs("FilterInit failed\n", stderr);
        return false;
    }
    return SimWaitForTraffic(0, 1, kWaitMs) != FALSE;  // the configuration went out
}

bool RunPipeline(Poster& poster, const Options& options, Measured& measured) {
    if (!StartLibrary(options)) {
        return false;
    }
    const std::uint64_t scans_before = g_flight.scans.load();
    bool ok = Drive(poster, options.warm_up_events, kPoolThreads, false).ok;
    for (int k = 0; ok && k < 2; ++k) {
        RunResult run = Drive(poster, k == 0 ? options.serial_events : options.parallel_events, kInFlight[k], true);
        ok = run.ok;
        measured.pipeline[k].push_back(std::move(run));
    }
    const std::uint64_t expected =
        static_cast<std::uint64_t>(options.warm_up_events) + options.serial_events + options.parallel_events;
    if (ok && g_flight.scans.load() - scans_before != expected) {
        std::fputs("the library did not scan every event: the files no longer need a full scan\n", stderr);
        ok = false;
    }
    return ClientDisconnect() == S_OK && ok;
}

bool RunFloor(Poster& poster, const Options& options, bool file_work, std::vector<RunResult>* results) {
    SimResetTraffic();
    FloorClient client;
    client.file_work = file_work;
    bool ok = StartFloorClient(client);
    if (ok) {
        ok = Drive(poster, options.warm_up_events, kPoolThreads, false).ok;
    }
    for (int k = 0; ok && k < 2; ++k) {
        RunResult run = Drive(poster, k == 0 ? options.serial_events : options.parallel_events, kInFlight[k], true);
        ok = run.ok;
        results[k].push_back(std::move(run));
    }
    StopFloorClient(client);
    return ok;
}

// 25 posting threads keep 25 events in flight whose scans take a fixed time: all for one file (the
// hot file), or, for reference, each thread for a file of its own. Returns events per second, or a
// negative value when the run failed.
double RunHotFile(const BenchFiles& files, const Options& options, bool one_file) {
    std::vector<std::vector<std::byte>> bodies;
    for (std::uint32_t lane = 0; lane < (one_file ? 1 : kPoolThreads); ++lane) {
        const std::wstring name = L"hot" + std::to_wstring(lane) + L".exe";
        const std::wstring path = (files.folder / name).wstring();
        const std::string host_url = "https://downloads.example/tools/" + Narrow(name);
        if (!WriteWhole(path, "MZ downloaded program") ||
            !WriteWhole(path + L":Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + host_url + "\r\n") ||
            !WriteWhole(path + L":varnok", VarnokStreamOf(path, host_url))) {
            return -1;
        }
        std::vector<std::byte> body(offsetof(varnok::ScanNotification, FileName) + (path.size() + 1) * sizeof(wchar_t));
        varnok::ScanNotification head{};
        head.Kind = varnok::kKindFileEvent;
        std::memcpy(body.data(), &head, offsetof(varnok::ScanNotification, FileName));
        std::memcpy(body.data() + offsetof(varnok::ScanNotification, FileName), path.c_str(),
                    (path.size() + 1) * sizeof(wchar_t));
        bodies.push_back(std::move(body));
    }

    const UniqueHandle hAnswered(::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr));
    g_hot.hAnswered = hAnswered.get();
    g_hot.scan_ms = options.hot_scan_ms;
    g_hot.active = true;
    if (!StartLibrary(options)) {
        g_hot.active = false;
        return -1;
    }
    std::atomic<std::uint32_t> next_event{0};
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> next_id{1};
    const std::int64_t start = Now();
    std::vector<std::thread> lanes;
    for (std::uint32_t lane = 0; lane < kPoolThreads; ++lane) {
        lanes.emplace_back([&, body = bodies[lane % bodies.size()]]() mutable {
            while (next_event++ < options.hot_events && !failed.load()) {
                const std::uint64_t event_id = next_id++;
                std::memcpy(body.data() + offsetof(varnok::ScanNotification, EventId), &event_id, sizeof(event_id));
                if (event_id % kTrafficResetEvery == 0) {
                    SimResetTraffic();
                }
                if (FAILED(SimPostNotification(body.data(), static_cast<std::uint32_t>(body.size()),
                                               sizeof(varnok::ScanReply), nullptr, kWaitMs)) ||
                    ::WaitForSingleObject(hAnswered.get(), kWaitMs) != WAIT_OBJECT_0) {
                    failed = true;
                }
            }
        });
    }
    for (std::thread& lane : lanes) {
        lane.join();
    }
    const bool stopped = ClientDisconnect() == S_OK;
    g_hot.active = false;
    if (failed.load() || !stopped) {
        return -1;
    }
    return options.hot_events / (TicksToMs(g_hot.last_answer.load() - start) / 1000.0);
}

struct SoakResult {
    MemoryReading first;
    MemoryReading last;
    double seconds = 0;
};

// Waits until the workers are idle in their receives again after the last verdict callback.
void SettleAndRead(MemoryReading& reading) {
    ::Sleep(300);
    SimResetTraffic();
    reading = ReadMemory();
}

bool RunSoak(Poster& poster, const Options& options, SoakResult& soak) {
    if (!StartLibrary(options)) {
        return false;
    }
    bool ok = Drive(poster, options.soak_first, kPoolThreads, false).ok;
    if (ok) {
        SettleAndRead(soak.first);
        const std::int64_t start = Now();
        ok = Drive(poster, options.soak_events - options.soak_first, kPoolThreads, false).ok;
        soak.seconds = TicksToMs(Now() - start) / 1000.0;
    }
    if (ok) {
        SettleAndRead(soak.last);
    }
    return ClientDisconnect() == S_OK && ok;
}

bool FilesUnchanged(const BenchFiles& files) {
    for (std::size_t i = 0; i < files.paths.size(); i += files.paths.size() / 7) {
        if (ReadWhole(files.paths[i] + L":varnok") != files.varnok_streams[i]) {
            return false;
        }
    }
    return true;
}

int RunBench(const Options& options) {
    BenchFiles files;
    std::printf(
        "varnok pipeline benchmark: %u files, %u per folder, %u rounds; per run %u events at 1 in flight, %u at 25; "
        "LogCallback %s\n",
        options.files, options.files_per_folder, options.rounds, options.serial_events, options.parallel_events,
        options.log ? "set" : "null");
    std::fflush(stdout);
    if (!CreateBenchFiles(options.folder, options.files, options.files_per_folder, files)) {
        std::fputs("could not create the files\n", stderr);
        return 1;
    }
    if (SimCreatePort() != S_OK) {
        std::fputs("could not create the simulated port\n", stderr);
        return 1;
    }
    Poster poster;
    PrepareBodies(files, poster);

    Measured measured;
    for (std::uint32_t round = 0; round < options.rounds; ++round) {
        if (!RunPipeline(poster, options, measured) || !RunFloor(poster, options, true, measured.floor) ||
            !RunFloor(poster, options, false, measured.port_only)) {
            std::fprintf(stderr, "round %u failed\n", round + 1);
            return 1;
        }
        for (int k = 0; k < 2; ++k) {
            measured.file_only[k].push_back(
                DriveFileWorkOnly(files, k == 0 ? options.serial_events : options.parallel_events, kInFlight[k]));
        }
        std::printf("  round %u of %u done\n", round + 1, options.rounds);
        std::fflush(stdout);
    }
    if (g_flight.stray_verdicts.load() != 0 || !FilesUnchanged(files)) {
        std::fputs("a verdict came for no event in flight, or a file's \"varnok\" stream changed\n", stderr);
        return 1;
    }

    std::printf("\n  %-32s %9s %8s %10s %10s %9s %9s\n", "", "in flight", "(mean)", "events/s", "median ms", "p99 ms",
                "CPU us/ev");
    Figures pipeline[2];
    Figures floor[2];
    for (int k = 0; k < 2; ++k) {
        pipeline[k] = Summarize(measured.pipeline[k]);
        floor[k] = Summarize(measured.floor[k]);
        PrintFigures("pipeline (varnokclient.dll)", kInFlight[k], pipeline[k]);
        PrintFigures("floor (minimal client)", kInFlight[k], floor[k]);
        PrintFigures("  of it: port messages only", kInFlight[k], Summarize(measured.port_only[k]));
        PrintFigures("  of it: file-system work only", kInFlight[k], Summarize(measured.file_only[k]));
        std::printf("  %-32s %9u %8s %10.2f\n", "pipeline/floor", kInFlight[k], "",
                    pipeline[k].events_per_second / floor[k].events_per_second);
    }
    std::fflush(stdout);

    if (options.hot_events > 0) {
        const double hot = RunHotFile(files, options, true);
        const double spread = hot < 0 ? hot : RunHotFile(files, options, false);
        if (spread < 0) {
            std::fputs("the hot-file run failed\n", stderr);
            return 1;
        }
        const double ideal = kPoolThreads * 1000.0 / options.hot_scan_ms;
        std::printf("\n  hot file: %u events, 25 in flight, scans of %u ms; ideal (25 scans at once) %.1f events/s\n",
                    options.hot_events, options.hot_scan_ms, ideal);
        std::printf("    all for one file:       %7.1f events/s, %.2f of the ideal\n", hot, hot / ideal);
        std::printf("    each for its own file:  %7.1f events/s, %.2f of the ideal\n", spread, spread / ideal);
        std::printf("    one file/own files:     %7.2f\n", hot / spread);
        std::fflush(stdout);
    }

    SoakResult soak;
    const bool soaked = options.soak_events > 0;
    if (soaked) {
        std::printf("\n  memory of the pipeline at 25 in flight (%u events, then %u):\n", options.soak_first,
                    options.soak_events);
        std::fflush(stdout);
        if (!RunSoak(poster, options, soak)) {
            std::fputs("the soak failed\n", stderr);
            return 1;
        }
        const auto print_reading = [](const char* when, const MemoryReading& reading) {
            std::printf(
                "    %-22s PrivateUsage %8.2f MiB, committed private %8.2f MiB, heaps in use %8.2f MiB, "
                "handle count %lu, handle slot %llu\n",
                when, MiB(reading.private_usage), MiB(reading.committed_private), MiB(reading.heap_in_use),
                static_cast<unsigned long>(reading.handle_count), static_cast<unsigned long long>(reading.handle_slot));
        };
        print_reading("after the first:", soak.first);
        print_reading("after all:", soak.last);
    }
    SimClosePort();

    // Private bytes: PrivateUsage where the system reports it (Wine reports 0), else the committed
    // private pages. Handles: the handle count where reported (Wine reports 0), else the slot probe.
    const bool has_private_usage = soak.first.private_usage != 0 && soak.last.private_usage != 0;
    const double private_growth = has_private_usage
                                      ? SignedMiB(soak.last.private_usage, soak.first.private_usage)
                                      : SignedMiB(soak.last.committed_private, soak.first.committed_private);
    const bool has_handle_count = soak.first.handle_count != 0 && soak.last.handle_count != 0;
    const long long handle_growth =
        has_handle_count
            ? static_cast<long long>(soak.last.handle_count) - static_cast<long long>(soak.first.handle_count)
            : static_cast<long long>(soak.last.handle_slot) - static_cast<long long>(soak.first.handle_slot);
    if (soaked) {
        std::printf(
            "    growth: private bytes %+.2f MiB (%s), heaps in use %+.2f MiB, handles %+lld (%s); "
            "%.0f events/s\n",
            private_growth, has_private_usage ? "PrivateUsage" : "committed private pages",
            SignedMiB(soak.last.heap_in_use, soak.first.heap_in_use), handle_growth,
            has_handle_count ? "handle count" : "slot of a fresh handle",
            (options.soak_events - options.soak_first) / soak.seconds);
    }

    std::printf("\npipeline/floor %.2f at 25 in flight (%.2f at 1), p99 %.2f ms",
                pipeline[1].events_per_second / floor[1].events_per_second,
                pipeline[0].events_per_second / floor[0].events_per_second, pipeline[1].p99_ms);
    if (soaked) {
        std::printf(", private bytes %+.2f MiB, heaps %+.2f MiB, handles %+lld from %uk to %uk events", private_growth,
                    SignedMiB(soak.last.heap_in_use, soak.first.heap_in_use), handle_growth, options.soak_first / 1000,
                    options.soak_events / 1000);
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage();
        return 2;
    }
    return RunBench(options);
}
