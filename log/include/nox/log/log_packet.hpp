#ifndef NOX_LOG_LOG_PACKET_HPP
#define NOX_LOG_LOG_PACKET_HPP

#include <cstddef>
#include <cstdint>

namespace nox::log {

// One queued record. It has a fixed size so that records come from a pool
// and a log call never allocates for its text.
struct log_packet {
    static constexpr std::size_t text_size = 1024;           // bytes reserved for the text and its NUL
    static constexpr std::size_t max_length = text_size - 1;  // longest text kept; the rest is cut

    std::int64_t time;        // system-clock time of the call, microseconds since the Unix epoch
    std::int32_t level;       // the record's log_level
    std::uint32_t thread;     // the caller's pthread_self, cut to 32 bits
    std::uint32_t process;    // getpid of the caller
    std::uint64_t length;     // number of text bytes, at most max_length
    char text[text_size];     // the text followed by a NUL byte
};

}  // namespace nox::log

#endif
