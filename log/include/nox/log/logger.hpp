#ifndef NOX_LOG_LOGGER_HPP
#define NOX_LOG_LOGGER_HPP

#include <boost/format.hpp>

#include <cstdint>

namespace nox::log {

enum log_level : std::int32_t { detailed = 0, debug = 1, info = 2, warning = 3, error = 4, panic = 5 };

// Hands a message to the logger; does nothing while no logger runs.
void log_message(log_level level, const boost::format& message) noexcept;
// Writes every queued message to every output; does nothing while no logger runs.
void flush_logger() noexcept;

}  // namespace nox::log

#endif
