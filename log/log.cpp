#include "log/log.h"

namespace varnok {

std::atomic<::LogCallback> g_log_callback{nullptr};

}  // namespace varnok
