#ifndef BENCH_TEST_RESULT_HPP
#define BENCH_TEST_RESULT_HPP

#include <boost/accumulators/accumulators.hpp>
#include <boost/accumulators/statistics/count.hpp>
#include <boost/accumulators/statistics/max.hpp>
#include <boost/accumulators/statistics/mean.hpp>
#include <boost/accumulators/statistics/median.hpp>
#include <boost/accumulators/statistics/min.hpp>
#include <boost/accumulators/statistics/stats.hpp>
#include <boost/accumulators/statistics/sum.hpp>
#include <boost/accumulators/statistics/variance.hpp>

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
    bool success = false;          // true once the kind's loop returned normally
    std::string description;       // human-readable text of the test
    std::uint32_t thread_number = 0;
    std::chrono::steady_clock::time_point iteration_start;  // start of the step in progress
    std::uint64_t bytes_processed = 0;  // payload bytes moved by the timed steps
    timings_type timings;          // one sample per timed step
};

}  // namespace bench

#endif
