#ifndef BENCH_CLIENTS_STREAM_CONNECT_HPP
#define BENCH_CLIENTS_STREAM_CONNECT_HPP

#include <bench/endpoint.hpp>

#include <chrono>

namespace bench {

// Connects a new stream socket to `daemon` (TCP or a UNIX socket) by
// `deadline` and returns it: blocking, close-on-exec, and for TCP with
// Nagle's delay off. The caller owns it.
//
// The connect may hang (a listener whose queue is full, a host that drops
// the packets), so it is waited for in slices of a few milliseconds, and a
// stop requested meanwhile ends the wait at once: throws interrupted_error.
// Any other failure throws std::system_error with the system's reason;
// ETIMEDOUT once the deadline has passed.
int connect_stream_socket(const endpoint& daemon, std::chrono::steady_clock::time_point deadline);

}  // namespace bench

#endif
