#ifndef NOX_LOG_LOG_LEVEL_HPP
#define NOX_LOG_LOG_LEVEL_HPP

#include <cstdint>

namespace nox::log {

// Severity of a record. Any 32-bit value is a valid level; those above
// `panic` are written as "unknown".
enum log_level : std::int32_t { detailed = 0, debug = 1, info = 2, warning = 3, error = 4, panic = 5 };

// The name written for a level: "detailed" ... "panic", "unknown" otherwise.
const char* log_level_name(log_level level) noexcept;

// The syslog priority a level is sent with (LOG_INFO for unknown levels).
int syslog_priority(log_level level) noexcept;

}  // namespace nox::log

#endif
