#ifndef BENCH_PROTOCOL_HPP
#define BENCH_PROTOCOL_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

namespace bench {

class client;
class endpoint;
struct client_options;

// The daemon endpoints a protocol's client reaches.
enum class endpoint_use : std::uint8_t {
    none,         // the client talks to no daemon: --daemon is ignored
    tcp,          // host:port, IPv4 or IPv6
    tcp_or_unix,  // host:port, or a UNIX-domain socket (unix:PATH)
};

// The options of the command line that only some protocols take, as a set.
enum class protocol_options : std::uint8_t {
    none = 0,
    auth_file = 1 << 0,  // --auth-file: the login sent right after connecting
    pipelining = 1 << 1, // --connections and --pipeline: many requests in flight
    server_list = 1 << 2, // a --daemon list: the client spreads the keys over its servers
    cluster = 1 << 3,    // --cluster: the --daemon endpoints are Redis Cluster nodes
};

constexpr protocol_options operator|(protocol_options a, protocol_options b) noexcept {
    return static_cast<protocol_options>(static_cast<std::uint8_t>(a) |
                                         static_cast<std::uint8_t>(b));
}

// Every protocol kvbench speaks, one entry each: the name the command line
// takes (which is also the enumerator of protocol_type), the client class
// made for it, the daemon endpoints that client reaches and the options it
// takes. A protocol's number is its place in this list, counted from 0, and
// a number is what the settings hold and the help shows as the default, so
// a new protocol goes at the end. The command line, its checks and the
// client factory all read the list (through `protocols` below); the client
// class is built from the daemon and the client options when it takes both,
// from the daemon alone when it takes that, or from nothing.
#define BENCH_PROTOCOLS(PROTOCOL)                                                            \
    PROTOCOL(local, local_client, endpoint_use::none, protocol_options::none)                \
    PROTOCOL(nox, nox_client, endpoint_use::tcp, protocol_options::none)                     \
    PROTOCOL(memcached, memcached_client, endpoint_use::tcp_or_unix,                         \
             protocol_options::pipelining | protocol_options::server_list)                   \
    PROTOCOL(redis, redis_client, endpoint_use::tcp_or_unix,                                 \
             protocol_options::auth_file | protocol_options::pipelining |                    \
                 protocol_options::cluster)

// Which store client the benchmark threads use.
enum class protocol_type : std::int32_t {
#define BENCH_PROTOCOL_ENUMERATOR(name, client_class, endpoints, options) name,
    BENCH_PROTOCOLS(BENCH_PROTOCOL_ENUMERATOR)
#undef BENCH_PROTOCOL_ENUMERATOR
};

// How many protocols there are: the numbers 0 to protocol_count - 1.
#define BENCH_PROTOCOL_ONE(name, client_class, endpoints, options) +1
constexpr std::size_t protocol_count = 0 BENCH_PROTOCOLS(BENCH_PROTOCOL_ONE);
#undef BENCH_PROTOCOL_ONE

// What the program knows of one protocol: its entry in BENCH_PROTOCOLS.
struct protocol_info {
    // Connects a new client to the daemon (the client of a protocol that
    // uses none ignores it).
    using client_maker = std::unique_ptr<client> (*)(const endpoint& daemon,
                                                     const client_options& options);

    protocol_type type;          // its number
    const char* name;            // as the command line takes it
    endpoint_use endpoints;      // the endpoints its client reaches
    protocol_options options;    // the protocol-specific options it takes
    client_maker make;           // builds its client
};

// The protocols in the order of their numbers: protocols()[n].type is n.
const std::array<protocol_info, protocol_count>& protocols() noexcept;

// The protocol of that number, or null for a number no protocol has.
const protocol_info* find_protocol(protocol_type protocol) noexcept;

// The protocol of that name (matched exactly, case included), or null.
const protocol_info* find_protocol(const std::string& name) noexcept;

// Whether the protocol's client can be pointed at `daemon`; always true for
// a protocol that uses no daemon.
bool reaches(const protocol_info& protocol, const endpoint& daemon) noexcept;

// Whether the protocol takes every option of `wanted`.
constexpr bool takes(const protocol_info& protocol, protocol_options wanted) noexcept {
    return (static_cast<std::uint8_t>(protocol.options) & static_cast<std::uint8_t>(wanted)) ==
           static_cast<std::uint8_t>(wanted);
}

// Written as its number (this is how the help text shows the default).
std::ostream& operator<<(std::ostream& out, protocol_type protocol);

// The name the command line takes ("local", "nox", "memcached", "redis"),
// or "unknown" for a number no protocol has.
const char* protocol_name(protocol_type protocol) noexcept;

}  // namespace bench

#endif
