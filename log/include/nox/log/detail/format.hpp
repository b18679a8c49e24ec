#ifndef NOX_LOG_DETAIL_FORMAT_HPP
#define NOX_LOG_DETAIL_FORMAT_HPP

// How a record is written by the console and file outputs.

#include <nox/log/log_packet.hpp>

#include <array>
#include <cstdint>
#include <string>

namespace nox::log::detail {

// UTC year, month (1-12), day, hour, minute, second and millisecond of a
// record time in microseconds since the Unix epoch.
using time_fields = std::array<std::uint64_t, 7>;
time_fields break_down_time(std::int64_t micros) noexcept;

// "HH:MM:SS.mmm", the thread id in 10 columns and the level name in 12; the
// text follows it directly.
std::string console_prefix(const log_packet& packet);

// "YYYY.MM.DD-hh.mm.ss.mmm", then tab-separated the process id in 9 columns,
// the thread id in 9, the level name in 10 and the text, ended by a newline.
std::string file_line(const log_packet& packet);

}  // namespace nox::log::detail

#endif
