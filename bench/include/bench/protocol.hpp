#ifndef BENCH_PROTOCOL_HPP
#define BENCH_PROTOCOL_HPP

#include <cstdint>
#include <iosfwd>

namespace bench {

// Which store client the benchmark threads use.
enum class protocol_type : std::int32_t {
    local = 0,      // in-process hash map
    nox = 1,        // the nox store through libnox_api
    memcached = 2,  // memcached text protocol
    redis = 3,      // Redis through hiredis
};

// Written as its number (this is how the help text shows the default).
std::ostream& operator<<(std::ostream& out, protocol_type protocol);

// The name the command line takes: "local", "nox", "memcached" or "redis".
const char* protocol_name(protocol_type protocol) noexcept;

}  // namespace bench

#endif
