#ifndef BENCH_SETTINGS_HPP
#define BENCH_SETTINGS_HPP

#include <bench/clients/options.hpp>
#include <bench/endpoint.hpp>
#include <bench/protocol.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace bench {

// Everything that is decided about a run before it starts (the command line
// fills it, see command_line.hpp).
struct run_settings {
    endpoint daemon;                        // where the store daemon listens
    protocol_type protocol = protocol_type::local;  // which client the threads use
    std::int32_t threads = 0;               // 1: single-thread pass, 2..100: multi-thread pass
    std::string test_file;                  // path of the test-suite file
    std::string report_file;                // path of the report file
    client_options clients;                 // what the clients are built with besides the daemon
    bool strict = false;                    // a failed test makes the exit status 3
    bool lockstep = false;                  // threads start each test together
    std::string json_file;                  // path of the JSON report; none when empty
    bool percentiles = false;               // latency percentiles and aggregates on the console
    std::optional<double> rate;             // open loop: each thread's steps per second; none: closed loop
    std::uint32_t connections = 1;          // connections per thread
    std::uint32_t pipeline = 1;             // requests in flight per connection
    std::optional<double> interval;         // seconds per interval of the results' figures; none: off

    // Whether the threads drive several connections or requests in flight
    // each, from an event loop, rather than one client call at a time.
    bool pipelined() const noexcept { return connections > 1 || pipeline > 1; }
};

// The bounds of --connections and --pipeline.
constexpr std::uint32_t max_connections = 1000;
constexpr std::uint32_t max_pipeline = 1024;

// The highest rate a thread can be given, in steps per second.
constexpr double max_rate = 10000000.0;

// The bounds of --interval, in seconds.
constexpr double min_interval = 0.1;
constexpr double max_interval = 86400.0;

}  // namespace bench

#endif
