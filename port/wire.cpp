// The byte layouts exchanged with the driver: building and reading them in place.
#include "wire.h"

namespace varnok {

std::optional<std::size_t> ReceivedNameUnits(std::uint32_t received_bytes) {
    if (received_bytes < kNotificationFixedBytes) {
        return std::nullopt;
    }
    const std::size_t units = (received_bytes - kNotificationFixedBytes) / sizeof(WireChar);
    return units < kFileNameUnits ? units : kFileNameUnits;
}

std::size_t FileNameLength(const ScanNotification& notification, std::size_t received_units) {
    const std::size_t bound = received_units < kFileNameUnits ? received_units : kFileNameUnits;
    std::size_t length = 0;
    while (length < bound && notification.FileName[length] != 0) {
        ++length;
    }
    return length;
}

ScanReply BuildScanReply(std::uint64_t message_id, std::uint32_t thread_id) {
    ScanReply reply_msg{};
    reply_msg.MessageId = message_id;
    reply_msg.ThreadId = thread_id;
    return reply_msg;
}

ScanCommand BuildScanResultCommand(std::int32_t verdict, std::uint64_t event_id, std::uint32_t thread_id) {
    ScanCommand response_message{};
    response_message.Command = CommandScanResult;
    response_message.EventId = event_id;
    response_message.ThreadId = thread_id;
    response_message.Verdict = verdict;
    return response_message;
}

ScanCommand BuildConfigurationCommand(const WireChar* config_text, std::uint32_t config_value1,
                                      std::uint32_t config_value2) {
    ScanCommand message{};
    message.Command = CommandConfiguration;
    // Bounded copy: the last unit of ConfigText stays the NUL of the cleared record.
    for (std::uint32_t i = 0; config_text != nullptr && i + 1 < kConfigTextUnits && config_text[i] != 0; ++i) {
        message.ConfigText[i] = config_text[i];
    }
    message.ConfigValue1 = config_value1;
    message.ConfigValue2 = config_value2;
    return message;
}

}  // namespace varnok
