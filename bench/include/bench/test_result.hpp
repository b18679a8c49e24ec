#ifndef BENCH_TEST_RESULT_HPP
#define BENCH_TEST_RESULT_HPP

#include <bench/latency_histogram.hpp>

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
};

// Records one timed step that ran from start to end and moved bytes. Called
// after the second clock reading, never inside the timed region.
inline void record_step(test_result& result, std::uint64_t bytes, test_result::time_point start,
                        test_result::time_point end)
{
    const std::int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    result.bytes_processed += bytes;
    result.timings(static_cast<double>(ns) / 1000000.0);
    result.latency.record(ns);
    result.first_step_start = std::min(result.first_step_start, start);
    result.last_step_end = end;
}

}  // namespace bench

#endif
