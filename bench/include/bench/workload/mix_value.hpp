#ifndef BENCH_WORKLOAD_MIX_VALUE_HPP
#define BENCH_WORKLOAD_MIX_VALUE_HPP

#include <bench/workload/mix.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// The values a mix writes can be checked by any thread that reads them, with
// no table of what was written: a value is made from its key's number, a
// version and its length alone.
//
//   header  16 characters: the version (64 bits) and a 32-bit check of key,
//           version and length, six bits a character;
//   body    the rest: 8 characters derived from the same three, repeated.
//
// Every character is one of A-Z, a-z, 0-9, '-' and '_', so clients that
// take text take the values. A value of another key, a value cut short or
// grown, and a value with any byte changed fail the check (a damaged header
// but for one chance in 2^32).
constexpr std::size_t value_header_size = mix_value_min_size;

// A version no other write of the run gives: the writing thread's index
// over all ranks (below 2^24) in the top bits, the count of its writes
// (below 2^40) in the others.
constexpr std::uint64_t write_version(std::uint32_t thread, std::uint64_t count) noexcept
{
    return (static_cast<std::uint64_t>(thread) << 40) | (count & ((std::uint64_t{1} << 40) - 1));
}

// Makes the value of key and version of exactly length bytes in out, which
// allocates only while its capacity is below length. Throws
// std::invalid_argument when length is below value_header_size.
void make_value(std::uint64_t key, std::uint64_t version, std::size_t length, std::string& out);

// Whether value is a value that make_value made for key, of any version,
// with a length from size_min to size_max: some 35 ns for 1 KiB.
bool value_matches(std::uint64_t key, std::string_view value, std::uint64_t size_min,
                   std::uint64_t size_max) noexcept;

}  // namespace bench

#endif
