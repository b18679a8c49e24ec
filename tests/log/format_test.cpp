// Level names and priorities, and the exact layout of console and file lines.

#include <nox/log/detail/format.hpp>
#include <nox/log/log_level.hpp>

#include <gtest/gtest.h>

#include <syslog.h>

#include <cstring>
#include <string>

namespace {

using nox::log::log_level;
using nox::log::log_packet;

TEST(log_level, has_a_name_and_a_syslog_priority_for_every_value) {
    struct row {
        std::int32_t value;
        const char* name;
        int priority;
    };
    const row rows[] = {{0, "detailed", LOG_DEBUG}, {1, "debug", LOG_DEBUG},   {2, "info", LOG_INFO},
                        {3, "warning", LOG_WARNING}, {4, "error", LOG_ERR},     {5, "panic", LOG_ALERT},
                        {6, "unknown", LOG_INFO},    {7, "unknown", LOG_INFO},  {1000, "unknown", LOG_INFO},
                        {-1, "unknown", LOG_INFO}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        EXPECT_STREQ(nox::log::log_level_name(static_cast<log_level>(r.value)), r.name);
        EXPECT_EQ(nox::log::syslog_priority(static_cast<log_level>(r.value)), r.priority);
    }
}

log_packet packet(std::int64_t time, std::int32_t level, std::uint32_t thread, std::uint32_t process,
                  const char* text) {
    log_packet p{};
    p.time = time;
    p.level = level;
    p.thread = thread;
    p.process = process;
    p.length = std::strlen(text);
    std::strcpy(p.text, text);
    return p;
}

TEST(record_layout, console_prefix_and_file_line_use_utc_and_fixed_widths) {
    struct row {
        log_packet record;
        const char* console;  // the prefix; the text follows it directly
        const char* file;
    };
    const row rows[] = {
        {packet(1416733507123456, 5, 4242, 917, "went wrong"), "09:05:07.123      4242       panic",
         "2014.11.23-09.05.07.123\t      917\t     4242\t     panic\twent wrong\n"},
        {packet(0, 0, 0, 1, ""), "00:00:00.000         0    detailed",
         "1970.01.01-00.00.00.000\t        1\t        0\t  detailed\t\n"},
        {packet(951868799999999, 7, 4294967295u, 123456789, "x"), "23:59:59.9994294967295     unknown",
         "2000.02.29-23.59.59.999\t123456789\t4294967295\t   unknown\tx\n"},
        // One microsecond before the epoch is still in 1969.
        {packet(-1, 3, 7, 7, "early"), "23:59:59.999         7     warning",
         "1969.12.31-23.59.59.999\t        7\t        7\t   warning\tearly\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(nox::log::detail::console_prefix(r.record), r.console);
        EXPECT_EQ(nox::log::detail::file_line(r.record), r.file);
    }
}

}  // namespace
