#include <bench/statistics.hpp>

#include <cmath>

namespace bench {

namespace {

// Bytes per second when each of count steps moved bytes / count bytes in
// time_ms milliseconds.
double bandwidth_at(double time_ms, std::uint64_t bytes, std::uint64_t count)
{
    return static_cast<double>(bytes) / static_cast<double>(count) / time_ms * 1000.0;
}

}  // namespace

result_figures compute_figures(const test_result& result)
{
    namespace acc = boost::accumulators;
    const auto& timings = result.timings;

    result_figures figures;
    const std::uint64_t n = acc::count(timings);
    figures.iterations_count = n;
    figures.iteration_size = n == 0 ? 0 : result.bytes_processed / n;

    figures.mean_time = acc::sum(timings) / static_cast<double>(n);
    figures.variance = acc::variance(timings);
    // With no steps n - 1 wraps to the largest count, which makes the error
    // 0; with one step it is 0 / 0.
    figures.error_of_mean_time = std::sqrt(figures.variance / static_cast<double>(n - 1));
    figures.median_time = acc::median(timings);
    figures.max = acc::max(timings);
    figures.min = acc::min(timings);
    figures.standard_deviation = std::sqrt(figures.variance);

    const double mean = figures.mean_time;
    const double slower = mean + figures.error_of_mean_time;
    const double at_mean =
        n > 1 && mean > 0 ? bandwidth_at(mean, result.bytes_processed, n) : 0.0;
    const double at_slower =
        n > 1 && slower > 0 ? bandwidth_at(slower, result.bytes_processed, n) : 0.0;
    figures.mean_bandwidth = at_mean;
    // 0 / 0 (NaN) when there is no bandwidth to compare against.
    figures.error_of_mean_bandwidth = (at_mean - at_slower) / at_mean * 100.0;
    return figures;
}

}  // namespace bench
