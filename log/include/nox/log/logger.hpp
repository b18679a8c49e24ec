#ifndef NOX_LOG_LOGGER_HPP
#define NOX_LOG_LOGGER_HPP

// The process-wide asynchronous logger. A log call copies the message into a
// fixed-size record and queues it; the records reach the outputs when the
// logger's background task wakes or when flush_logger is called. Without a
// started logger every call here returns at once.

#include <nox/log/log_level.hpp>
#include <nox/log/log_packet.hpp>

#include <boost/format.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace nox::log {

// A callback output, called once per record with the level name, seven UTC
// time fields (year, month 1-12, day, hour, minute, second, millisecond), the
// process id, the thread id, the NUL-terminated text and its length.
// Callbacks run in the flushing thread and must not start or stop the logger.
using log_callback = void (*)(const char* level, const std::uint64_t* time, std::uint32_t process,
                              std::uint32_t thread, const char* text, std::uint64_t length);

// Everything configure_logger needs to start a logger with its outputs.
struct log_config {
    log_level level = info;                          // minimum level kept
    std::chrono::microseconds period{1000000};       // time between background flushes, used in whole seconds
    std::vector<std::string> files;                  // paths of file outputs, in order
    bool console = false;                            // add the console output
    bool syslog = false;                             // add the system-log output
};

// Starts the logger with a minimum level and its background flush every
// `period` (whole seconds; below one second it flushes without pausing).
// Does nothing while a logger runs. Throws std::bad_alloc when the record
// pool cannot be created.
void start_logger(log_level level, std::chrono::seconds period);

// Starts the logger and adds the configured outputs; does nothing while a
// logger runs. Throws std::invalid_argument, before starting anything, when
// one of the paths is empty.
void configure_logger(const log_config& config);

// Appends records to the file at `path`, creating its directory and the file
// (mode 0600) when the first batch is written. Throws std::invalid_argument
// for an empty path.
void add_file_output(const std::string& path);
// Writes records to standard output; only the first call after a start counts.
void add_console_output();
// Sends records to the system log; only the first call after a start counts.
void add_syslog_output();
// Calls `callback` for every record; a null callback is ignored.
void add_callback_output(log_callback callback);

// Hands a message to the logger if its level is kept. The format's missing
// arguments are rendered empty. Never waits for an output and never throws:
// a record that cannot be allocated is dropped.
void log_message(log_level level, const boost::format& message) noexcept;

// Writes every queued record to every output in the calling thread.
void flush_logger() noexcept;

// Stops the background task, writes what is still queued and destroys the
// logger with its outputs.
void stop_logger() noexcept;

}  // namespace nox::log

#endif
