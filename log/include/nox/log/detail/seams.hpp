#ifndef NOX_LOG_DETAIL_SEAMS_HPP
#define NOX_LOG_DETAIL_SEAMS_HPP

// What tests may reach inside the logger: the calls to the system log, the
// outputs of the running logger and failures of the record pool.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nox::log::detail {

enum class output_kind : std::int32_t { console = 0, file = 1, syslog = 2, callback = 3 };

// The calls the system-log output makes for one batch.
struct syslog_api {
    void (*open)(const char* ident, int option, int facility);
    void (*write)(int priority, const char* text);  // sends the text as a "%s" argument
    void (*close)();
};

// The real openlog, syslog and closelog.
syslog_api system_syslog_api() noexcept;
// Routes the system-log output through `api`; returns the previous set.
// Replace it only while no flush can run.
syslog_api replace_syslog_api(const syslog_api& api) noexcept;

// Whether a logger is started, and the kinds of its outputs in order.
bool logger_running() noexcept;
std::vector<output_kind> output_kinds();

// Makes the next `count` record allocations fail as if the pool were empty.
void fail_record_allocations(std::size_t count) noexcept;

}  // namespace nox::log::detail

#endif
