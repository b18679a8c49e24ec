#ifndef BENCH_STATISTICS_HPP
#define BENCH_STATISTICS_HPP

#include <bench/test_result.hpp>

#include <cstdint>

namespace bench {

// The figures reported for one result. Times are in milliseconds.
struct result_figures {
    std::uint64_t iterations_count = 0;  // number of timed steps
    std::uint64_t iteration_size = 0;    // bytes per step (integer division), 0 without steps
    double mean_time = 0;                // NaN without steps
    double error_of_mean_time = 0;       // standard error of the mean
    double median_time = 0;              // P-square estimate
    double max = 0;
    double min = 0;
    double variance = 0;                 // population variance, ms squared
    double standard_deviation = 0;
    double mean_bandwidth = 0;           // bytes per second at the mean time; 0 below two steps
    double error_of_mean_bandwidth = 0;  // percent the bandwidth drops at mean + error; NaN when the bandwidth is 0
};

// Derives every reported figure from the result's timings and byte count.
// The console summary and the report row both print these.
result_figures compute_figures(const test_result& result);

}  // namespace bench

#endif
