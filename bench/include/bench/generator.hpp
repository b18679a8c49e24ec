#ifndef BENCH_GENERATOR_HPP
#define BENCH_GENERATOR_HPP

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// The characters values are made of: a-z, A-Z, then 1-9 and 0.
inline constexpr std::string_view value_alphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";

// "pid/thread/time/number" in lower-case hexadecimal: the process id, the low
// 32 bits of the calling thread's id, the wall-clock time in microseconds
// since the epoch, and number. Keys of different processes, threads and
// moments differ, so tests never meet each other's entries.
std::string make_key(std::uint64_t number);

// A value of exactly length characters of value_alphabet. The content depends
// only on length, and a shorter value is a prefix of every longer one, so a
// read can be checked against a value made again. A stop request
// (interrupt_requested()) ends the making of a value longer than a MiB with
// interrupted_error.
std::string make_value(std::uint64_t length);

}  // namespace bench

#endif
