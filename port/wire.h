// The byte layouts exchanged with the minifilter driver through its communication port. Every
// size and offset is fixed by the driver and pinned below; the records are built and read in
// place, so nothing here may change without the driver changing too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace varnok {

// One UTF-16 code unit as it crosses the port (wchar_t on Windows, so paths need no conversion).
#ifdef _WIN32
using WireChar = wchar_t;
#else
using WireChar = char16_t;
#endif
static_assert(sizeof(WireChar) == 2);

inline constexpr std::uint32_t kFileNameUnits = 32768;
inline constexpr std::uint32_t kConfigTextUnits = 1024;

// Mirrors the Filter Manager's FILTER_MESSAGE_HEADER, which precedes every notification.
// The records below keep the driver's field names, so they stay outside the naming rule.
// NOLINTBEGIN(readability-identifier-naming)
struct MessageHeader {
    std::uint32_t ReplyLength;
    std::uint32_t Padding;
    std::uint64_t MessageId;
};
static_assert(sizeof(MessageHeader) == 16);
static_assert(offsetof(MessageHeader, ReplyLength) == 0);
static_assert(offsetof(MessageHeader, MessageId) == 8);

// The body of one notification from the driver.
struct ScanNotification {
    std::uint32_t Kind;  // kKindFileEvent, or another value that gets no reply and no handling
    std::uint32_t Value1;
    std::uint64_t EventId;
    std::uint32_t Reserved;
    std::uint32_t Value2;
    std::uint32_t Value3;
    WireChar FileName[kFileNameUnits];  // NUL-terminated unless it fills the whole array
    std::uint32_t Padding;
};
static_assert(sizeof(ScanNotification) == 65568);
static_assert(offsetof(ScanNotification, Kind) == 0);
static_assert(offsetof(ScanNotification, Value1) == 4);
static_assert(offsetof(ScanNotification, EventId) == 8);
static_assert(offsetof(ScanNotification, Reserved) == 16);
static_assert(offsetof(ScanNotification, Value2) == 20);
static_assert(offsetof(ScanNotification, Value3) == 24);
static_assert(offsetof(ScanNotification, FileName) == 28);
static_assert(offsetof(ScanNotification, Padding) == 65564);

inline constexpr std::uint32_t kKindFileEvent = 0;

// The receive buffer of one notification. The OVERLAPPED of its pending receive lives in the
// buffer itself, so a completion leads back to its buffer by a fixed offset.
struct ScanMessage {
    MessageHeader Header;
    ScanNotification Notification;
    alignas(8) std::byte Ovlp[32];
};
static_assert(sizeof(ScanMessage) == 65616);
static_assert(offsetof(ScanMessage, Header) == 0);
static_assert(offsetof(ScanMessage, Notification) == 16);
static_assert(offsetof(ScanMessage, Ovlp) == 65584);

// The length given to the receive: header and body, not the OVERLAPPED behind them.
inline constexpr std::uint32_t kScanMessageReceiveLength = offsetof(ScanMessage, Ovlp);
static_assert(kScanMessageReceiveLength == 65584);

// The immediate acknowledgement of a file event: FILTER_REPLY_HEADER and the worker's thread id,
// 20 bytes on the wire.
#pragma pack(push, 4)
struct ScanReply {
    std::int32_t Status;
    std::uint32_t Padding;
    std::uint64_t MessageId;
    std::uint32_t ThreadId;
};
#pragma pack(pop)
static_assert(sizeof(ScanReply) == 20);
static_assert(offsetof(ScanReply, Status) == 0);
static_assert(offsetof(ScanReply, MessageId) == 8);
static_assert(offsetof(ScanReply, ThreadId) == 16);

enum : std::uint32_t {
    CommandScanResult = 1,
    CommandConfiguration = 2,
};

// A command to the driver: the verdict for one event (command 1) or the configuration (command 2).
struct ScanCommand {
    std::uint32_t Command;
    std::uint32_t Padding1;
    std::uint64_t EventId;
    std::uint32_t ThreadId;
    std::uint8_t Reserved[12];
    std::int32_t Verdict;
    WireChar ConfigText[kConfigTextUnits];
    std::uint32_t ConfigValue1;
    std::uint32_t ConfigValue2;
    std::uint32_t Padding2;
};
// NOLINTEND(readability-identifier-naming)
static_assert(sizeof(ScanCommand) == 2096);
static_assert(offsetof(ScanCommand, Command) == 0);
static_assert(offsetof(ScanCommand, EventId) == 8);
static_assert(offsetof(ScanCommand, ThreadId) == 16);
static_assert(offsetof(ScanCommand, Reserved) == 20);
static_assert(offsetof(ScanCommand, Verdict) == 32);
static_assert(offsetof(ScanCommand, ConfigText) == 36);
static_assert(offsetof(ScanCommand, ConfigValue1) == 2084);
static_assert(offsetof(ScanCommand, ConfigValue2) == 2088);
static_assert(offsetof(ScanCommand, Padding2) == 2092);

// A notification is only what the driver sent: the buffer it lands in is reused, so whatever lies
// beyond the bytes of this receive belongs to an earlier message. A receive is counted as the
// Filter Manager counts it, header included.
//
// The fixed fields of a notification: the header and the body up to its FileName. A receive shorter
// than this is no notification at all.
inline constexpr std::uint32_t kNotificationFixedBytes =
    offsetof(ScanMessage, Notification) + offsetof(ScanNotification, FileName);
static_assert(kNotificationFixedBytes == 44);

// How many code units of FileName a receive of `received_bytes` delivered (a unit cut in half does
// not count), or nothing when the receive is too short to hold the fixed fields.
std::optional<std::size_t> ReceivedNameUnits(std::uint32_t received_bytes);

// The number of code units of a notification's FileName: up to its first NUL within the units that
// arrived, or all of them when they hold none. Never reads past the array or the units received.
std::size_t FileNameLength(const ScanNotification& notification, std::size_t received_units);

ScanReply BuildScanReply(std::uint64_t message_id, std::uint32_t thread_id);
ScanCommand BuildScanResultCommand(std::int32_t verdict, std::uint64_t event_id, std::uint32_t thread_id);

// Command 2. The whole record is cleared first so that nothing of the caller's memory reaches the
// driver, and a text too long for ConfigText is cut to its first 1023 units and a NUL.
ScanCommand BuildConfigurationCommand(const WireChar* config_text, std::uint32_t config_value1,
                                      std::uint32_t config_value2);

}  // namespace varnok
