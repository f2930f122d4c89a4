/*
 * varnokclient: the user-mode client of the Varnok file-system minifilter.
 *
 * A host process loads varnokclient.dll, starts it with FilterInit and stops it with
 * ClientDisconnect. While it runs, the library receives the driver's file events, decides for
 * each file whether it needs scanning, calls the host's ScanCallback where it does, records the
 * result beside the file and sends one verdict per event back to the driver.
 *
 * This header compiles as C (C11) and as C++.
 */
#ifndef VARNOKCLIENT_H
#define VARNOKCLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VARNOKCLIENT_STATIC_ASSERT(condition, text) static_assert(condition, text)
#define VARNOKCLIENT_DEFAULT(value) = value
extern "C" {
#else
#define VARNOKCLIENT_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#define VARNOKCLIENT_DEFAULT(value)
#endif

#if defined(_WIN32) && !defined(VARNOKCLIENT_BUILDING)
#define VARNOKCLIENT_API __declspec(dllimport)
#else
#define VARNOKCLIENT_API
#endif

#ifdef _WIN32
VARNOKCLIENT_STATIC_ASSERT(sizeof(wchar_t) == 2, "wchar_t holds one UTF-16 code unit");
#endif
/* The names below are the library's published interface; they stay as hosts know them.
 * NOLINTBEGIN(readability-identifier-naming) */

/* Levels of the texts passed to LogCallback. The library emits INFO (per-event trace lines,
 * which carry the file path) and WARN (failures and anomalies); ERROR is never emitted. */
typedef enum LogLevel { VARNOK_LOG_INFO = 0, VARNOK_LOG_WARN = 1, VARNOK_LOG_ERROR = 2 } LogLevel;

/* What the host's ScanCallback learns of a file. Every pointer is owned by the library and valid
 * only during the call; copy what you keep. */
typedef struct FileInfo {
    const wchar_t* FileName; /* the path the driver reported, NUL-terminated */
    uint32_t Value3;         /* passed through from the driver */
    int32_t ZoneId;          /* the file's download zone; 0 when Zone.Identifier was not read */
    const wchar_t* Source;   /* the file's origin (a URL, "unknown host", ...); never empty */
    uint64_t Reserved;       /* always 0 */
} FileInfo;

VARNOKCLIENT_STATIC_ASSERT(offsetof(FileInfo, FileName) == 0, "FileInfo layout");
VARNOKCLIENT_STATIC_ASSERT(offsetof(FileInfo, Value3) == 8, "FileInfo layout");
VARNOKCLIENT_STATIC_ASSERT(offsetof(FileInfo, ZoneId) == 12, "FileInfo layout");
VARNOKCLIENT_STATIC_ASSERT(offsetof(FileInfo, Source) == 16, "FileInfo layout");
VARNOKCLIENT_STATIC_ASSERT(offsetof(FileInfo, Reserved) == 24, "FileInfo layout");
VARNOKCLIENT_STATIC_ASSERT(sizeof(FileInfo) == 32, "FileInfo layout");

/* The driver's configuration, passed on to the driver unchanged by FilterInit. The library
 * interprets none of its fields. ConfigText holds at most 1023 code units and a NUL. */
typedef struct DriverConfig {
    uint8_t Flag0 VARNOKCLIENT_DEFAULT(1);
    uint8_t Flag1 VARNOKCLIENT_DEFAULT(1);
    uint8_t Flag2 VARNOKCLIENT_DEFAULT(0);
    uint8_t Flag3 VARNOKCLIENT_DEFAULT(0);
    wchar_t ConfigText[1024];
    uint32_t ConfigValue1;
    uint32_t ConfigValue2;
} DriverConfig;

#ifdef _WIN32
VARNOKCLIENT_STATIC_ASSERT(offsetof(DriverConfig, ConfigText) == 4, "DriverConfig layout");
VARNOKCLIENT_STATIC_ASSERT(offsetof(DriverConfig, ConfigValue1) == 2052, "DriverConfig layout");
VARNOKCLIENT_STATIC_ASSERT(offsetof(DriverConfig, ConfigValue2) == 2056, "DriverConfig layout");
VARNOKCLIENT_STATIC_ASSERT(sizeof(DriverConfig) == 2060, "DriverConfig layout");
#endif

/* Host callbacks. They run on up to 25 of the library's threads at once (LogCallback also on the
 * thread that calls FilterInit), so they must be thread-safe, and they must return normally.
 *
 * ScanCallback: scans the file and returns the verdict sent to the driver and recorded beside the
 * file. value2 and value1 are passed through from the driver. A result of 2 means "clean": later
 * events for the same file are not scanned again.
 * ScanResultCallback: told each verdict of ScanCallback after the driver received it.
 * LogCallback: one diagnostic text, with its LogLevel value. */
typedef int32_t (*ScanCallback)(FileInfo file_info, uint32_t value2, uint32_t value1);
typedef void (*ScanResultCallback)(const wchar_t* path, int32_t verdict);
typedef void (*LogCallback)(uint32_t level, const wchar_t* text);

/* Connects to the driver, sends it the configuration and starts the worker threads.
 * Returns 0 (S_OK) when the client runs, else a failure HRESULT. Any callback may be null. */
VARNOKCLIENT_API long FilterInit(const DriverConfig* config, ScanCallback scan_callback,
                                 ScanResultCallback scan_result_callback, LogCallback log_callback);

/* Sends a new configuration to the driver. Returns 1 when the driver took it, else 0.
 * A text of 1024 or more code units is cut to its first 1023. */
VARNOKCLIENT_API int SetDriverConfiguration(const wchar_t* config_text, uint32_t config_value1, uint32_t config_value2);

/* Stops the worker threads and closes the connection. Returns 0 when every handle closed,
 * 0x80004003 (E_POINTER) when no client was started, else the failure of a close. */
VARNOKCLIENT_API long ClientDisconnect(void);

/* Deletes a file (DeleteFileW); returns its nonzero-on-success result. */
VARNOKCLIENT_API int VarnokDeleteFile(const wchar_t* path);

/* The library's version, "2.0.0.135", in static storage (never free it), exported as
 * "GetVersion". kernel32 exports a function of that name too, and windows.h declares it, so the
 * library's one is not declared here by name: look it up with
 * GetProcAddress(module, "GetVersion") and call it through this type. */
typedef const char* (*VarnokGetVersionFn)(void);

/* NOLINTEND(readability-identifier-naming) */
#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VARNOKCLIENT_H */
