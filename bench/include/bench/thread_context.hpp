#ifndef BENCH_THREAD_CONTEXT_HPP
#define BENCH_THREAD_CONTEXT_HPP

#include <bench/client.hpp>
#include <bench/settings.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

namespace bench {

class connection_set;
struct live_slot;
class mix_pass;

// Everything one benchmark thread needs: its own copy of the settings, its
// own client (and so its own connection) and its number.
struct thread_context {
    // Copies the settings, stores the number, then builds the client for
    // settings.protocol (its connections, when the run is pipelined); a client that cannot be built or cannot connect
    // throws out of here and no context exists.
    thread_context(const run_settings& run, std::uint32_t number);
    ~thread_context();

    thread_context(const thread_context&) = delete;
    thread_context& operator=(const thread_context&) = delete;

    run_settings settings;
    // The thread's client; null when the run is pipelined, whose threads
    // reach the store through their connections instead.
    std::unique_ptr<bench::client> client;
    std::unique_ptr<connection_set> connections;
    std::uint32_t thread_number;
    // The threads of the whole run, over every rank (thread_number is one of
    // them): settings.threads unless the driver says otherwise.
    std::uint32_t all_threads;
    // What this thread shares with the others of its process in mix tests;
    // null when it shares nothing (a single-thread run).
    const mix_pass* mixes = nullptr;
    // Where the thread's steps show on the status line; null without one.
    live_slot* live = nullptr;
    // Where the run's times count from (the pass's origin); intervals
    // (--interval) count from here. Null: from each test's start.
    const std::chrono::steady_clock::time_point* origin = nullptr;
};

}  // namespace bench

#endif
