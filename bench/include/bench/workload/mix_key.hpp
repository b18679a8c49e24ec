#ifndef BENCH_WORKLOAD_MIX_KEY_HPP
#define BENCH_WORKLOAD_MIX_KEY_HPP

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// Writes prefix followed by number in decimal into out, which allocates only
// while its capacity is too small for them.
void format_key(std::string_view prefix, std::uint64_t number, std::string& out);

// "kvbench:" + this process's run id + ":", the run id being the process id
// and the time of the first call, in microseconds since the epoch, both in
// lower-case hexadecimal, joined by '-' (kvbench:3e8-5543df729c000:). Made
// once: every call returns the same text, so that the threads of a process
// share one key space and two runs never meet each other's keys. The ranks
// of a run each make their own; they share a key space only when they are
// all given one rank's.
const std::string& default_key_prefix();

}  // namespace bench

#endif
