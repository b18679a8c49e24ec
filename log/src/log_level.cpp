#include <nox/log/log_level.hpp>

#include <syslog.h>

namespace nox::log {

const char* log_level_name(log_level level) noexcept {
    switch (level) {
    case detailed: return "detailed";
    case debug: return "debug";
    case info: return "info";
    case warning: return "warning";
    case error: return "error";
    case panic: return "panic";
    }
    return "unknown";
}

int syslog_priority(log_level level) noexcept {
    switch (level) {
    case detailed:
    case debug: return LOG_DEBUG;
    case info: return LOG_INFO;
    case warning: return LOG_WARNING;
    case error: return LOG_ERR;
    case panic: return LOG_ALERT;
    }
    return LOG_INFO;
}

}  // namespace nox::log
