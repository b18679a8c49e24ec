#include <nox/log/logger.hpp>

// Placeholder: no logger is ever started yet, so messages are dropped.
namespace nox::log {
void log_message(log_level, const boost::format&) noexcept {}
void flush_logger() noexcept {}
}  // namespace nox::log
