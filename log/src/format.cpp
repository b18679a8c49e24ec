#include <nox/log/detail/format.hpp>
#include <nox/log/log_level.hpp>

#include <cstdio>
#include <ctime>

namespace nox::log::detail {

namespace {

// Keeps the low `digits` decimal digits so that a field never grows past its
// column width.
unsigned cut(std::uint64_t value, unsigned digits) noexcept {
    std::uint64_t limit = 1;
    for (unsigned i = 0; i < digits; ++i) limit *= 10;
    return static_cast<unsigned>(value % limit);
}

}  // namespace

time_fields break_down_time(std::int64_t micros) noexcept {
    // Floor division keeps times before the epoch on the right second.
    std::int64_t seconds = micros / 1000000;
    std::int64_t rest = micros % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --seconds;
    }
    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (gmtime_r(&whole, &utc) == nullptr) return time_fields{};
    return time_fields{static_cast<std::uint64_t>(utc.tm_year + 1900),
                       static_cast<std::uint64_t>(utc.tm_mon + 1),
                       static_cast<std::uint64_t>(utc.tm_mday),
                       static_cast<std::uint64_t>(utc.tm_hour),
                       static_cast<std::uint64_t>(utc.tm_min),
                       static_cast<std::uint64_t>(utc.tm_sec),
                       static_cast<std::uint64_t>(rest / 1000)};
}

std::string console_prefix(const log_packet& packet) {
    const time_fields t = break_down_time(packet.time);
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u.%03u%10u%12s", cut(t[3], 2),
                                cut(t[4], 2), cut(t[5], 2), cut(t[6], 3), static_cast<unsigned>(packet.thread),
                                log_level_name(static_cast<log_level>(packet.level)));
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string file_line(const log_packet& packet) {
    const time_fields t = break_down_time(packet.time);
    char buffer[96];
    const int n = std::snprintf(buffer, sizeof buffer, "%04u.%02u.%02u-%02u.%02u.%02u.%03u\t%9u\t%9u\t%10s\t",
                                cut(t[0], 4), cut(t[1], 2), cut(t[2], 2), cut(t[3], 2), cut(t[4], 2),
                                cut(t[5], 2), cut(t[6], 3), static_cast<unsigned>(packet.process),
                                static_cast<unsigned>(packet.thread),
                                log_level_name(static_cast<log_level>(packet.level)));
    std::string line(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    line.append(packet.text, packet.length < log_packet::max_length ? packet.length : log_packet::max_length);
    line.push_back('\n');
    return line;
}

}  // namespace nox::log::detail
