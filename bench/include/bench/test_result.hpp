#ifndef BENCH_TEST_RESULT_HPP
#define BENCH_TEST_RESULT_HPP

#include <bench/intervals.hpp>
#include <bench/latency_histogram.hpp>
#include <bench/redirections.hpp>
#include <bench/status/live_slot.hpp>
#include <bench/workload/mix.hpp>

#include <boost/accumulators/accumulators.hpp>
#include <boost/accumulators/statistics/count.hpp>
#include <boost/accumulators/statistics/max.hpp>
#include <boost/accumulators/statistics/mean.hpp>
#include <boost/accumulators/statistics/median.hpp>
#include <boost/accumulators/statistics/min.hpp>
#include <boost/accumulators/statistics/stats.hpp>
#include <boost/accumulators/statistics/sum.hpp>
#include <boost/accumulators/statistics/variance.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace bench {

// Running statistics over the step durations, in milliseconds.
using timings_type = boost::accumulators::accumulator_set<
    double,
    boost::accumulators::stats<
        boost::accumulators::tag::count, boost::accumulators::tag::min,
        boost::accumulators::tag::max, boost::accumulators::tag::sum,
        boost::accumulators::tag::mean, boost::accumulators::tag::variance,
        boost::accumulators::tag::median(boost::accumulators::with_p_square_quantile)>>;

// What an open-loop test adds to its result besides the response times: the
// rate it was asked for, and for each step its service time (from its actual
// start to its end) and how late it started (its actual start - its due
// time: a client that fell behind its schedule). Aggregates over threads
// keep the same, with the rates of all their threads added up.
struct open_loop_times {
    double requested_rate = 0;      // steps per second
    latency_histogram service;      // the service times in nanoseconds
    double service_min_ms = std::numeric_limits<double>::infinity();
    double service_max_ms = -std::numeric_limits<double>::infinity();
    std::int64_t total_lateness_ns = 0;  // summed over the steps
    latency_histogram lateness;     // the start latenesses in nanoseconds
    double lateness_min_ms = std::numeric_limits<double>::infinity();
    double lateness_max_ms = -std::numeric_limits<double>::infinity();

    // Adds other's steps to these.
    void merge(const open_loop_times& other)
    {
        requested_rate += other.requested_rate;
        service += other.service;
        service_min_ms = std::min(service_min_ms, other.service_min_ms);
        service_max_ms = std::max(service_max_ms, other.service_max_ms);
        total_lateness_ns += other.total_lateness_ns;
        lateness += other.lateness;
        lateness_min_ms = std::min(lateness_min_ms, other.lateness_min_ms);
        lateness_max_ms = std::max(lateness_max_ms, other.lateness_max_ms);
    }
};

// What one test yields on one thread.
struct test_result {
    using time_point = std::chrono::steady_clock::time_point;

    bool success = false;          // true once the kind's loop returned normally
    std::string description;       // human-readable text of the test
    std::uint32_t thread_number = 0;
    time_point iteration_start;    // start of the step in progress
    std::uint64_t bytes_processed = 0;  // payload bytes moved by the timed steps
    timings_type timings;          // one sample per timed step
    std::string failure;           // why the test failed; empty unless it did
    time_point first_step_start = time_point::max();  // start of the first timed step
    time_point last_step_end = time_point::min();     // end of the last timed step
    latency_histogram latency;     // the step durations in nanoseconds
    time_point last_step_start = time_point::min();   // start of the last timed step
    std::optional<open_loop_times> open_loop;  // only in an open-loop test (--rate)
    operation_table operations;    // a mix test's steps by operation; empty for the other kinds
    // The redirections the client followed during the test; only with a
    // client that counts them (a Redis Cluster's).
    std::optional<redirection_counts> redirections;
    live_slot* live = nullptr;     // where the status line reads the steps; null without one
    // The steps and failures by interval of the run's time; only with --interval.
    std::optional<interval_recorder> intervals;
};

namespace detail {
// What recording a step means in closed and open loop alike: its bytes, its
// duration (ns), and when it started and ended.
inline void record_duration(test_result& result, std::uint64_t bytes, std::int64_t ns,
                            test_result::time_point start, test_result::time_point end)
{
    result.bytes_processed += bytes;
    result.timings(static_cast<double>(ns) / 1000000.0);
    result.latency.record(ns);
    result.first_step_start = std::min(result.first_step_start, start);
    result.last_step_start = start;
    result.last_step_end = end;
    if (result.live) result.live->record(ns);
    if (result.intervals) result.intervals->record(ns, bytes, end);
}
}  // namespace detail

// Records one timed step that ran from start to end and moved bytes. Called
// after the second clock reading, never inside the timed region.
inline void record_step(test_result& result, std::uint64_t bytes, test_result::time_point start,
                        test_result::time_point end)
{
    detail::record_duration(
        result, bytes, std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count(),
        start, end);
}

// Records one step of an open-loop test that was due at `due` and ran from
// start to end: its response time, from the due time to its end (never less
// than its service time), is the step's duration as record_step takes it;
// its service time and start lateness go to result.open_loop, which must be
// set.
// Called after the second clock reading, never inside the timed region.
inline void record_scheduled_step(test_result& result, std::uint64_t bytes,
                                  test_result::time_point due, test_result::time_point start,
                                  test_result::time_point end)
{
    const std::int64_t service_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    const std::int64_t lateness_ns = std::max<std::int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(start - due).count(), 0);
    detail::record_duration(result, bytes, service_ns + lateness_ns, start, end);

    open_loop_times& open_loop = *result.open_loop;
    const double service_ms = static_cast<double>(service_ns) / 1000000.0;
    open_loop.service.record(service_ns);
    open_loop.service_min_ms = std::min(open_loop.service_min_ms, service_ms);
    open_loop.service_max_ms = std::max(open_loop.service_max_ms, service_ms);
    open_loop.total_lateness_ns += lateness_ns;
    const double lateness_ms = static_cast<double>(lateness_ns) / 1000000.0;
    open_loop.lateness.record(lateness_ns);
    open_loop.lateness_min_ms = std::min(open_loop.lateness_min_ms, lateness_ms);
    open_loop.lateness_max_ms = std::max(open_loop.lateness_max_ms, lateness_ms);
}

}  // namespace bench

#endif
