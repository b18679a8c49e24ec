#include <bench/statistics.hpp>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

bench::test_result result_of(const std::vector<double>& samples, std::uint64_t bytes)
{
    bench::test_result result;
    for (double sample : samples) {
        result.timings(sample);
    }
    result.bytes_processed = bytes;
    return result;
}

// Equal to six significant digits, or both NaN.
void expect_figure(double actual, double expected, const char* name, const std::string& set)
{
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << name << " of " << set << " is " << actual;
    } else {
        EXPECT_NEAR(actual, expected, std::abs(expected) * 1e-6) << name << " of " << set;
    }
}

TEST(ComputeFigures, DerivesEveryFigureFromTheTimings)
{
    const struct {
        const char* name;
        std::vector<double> samples;
        std::uint64_t bytes;
        std::uint64_t size;
        double mean, error, median, max, min, variance, deviation, bandwidth, bandwidth_error;
    } cases[] = {
        {"no samples", {}, 0, 0, nan, 0, 0, -DBL_MAX, DBL_MAX, 0, 0, 0, nan},
        {"one sample", {2.5}, 1024, 1024, 2.5, nan, 0, 2.5, 2.5, 0, 0, 0, nan},
        {"two samples", {1, 3}, 2048, 1024, 2, 1, 0, 3, 1, 1, 1, 512000, 33.3333333},
        {"three in arrival order", {3, 1, 5}, 30, 10, 3, 1.1547005, 5, 5, 1, 2.6666667, 1.6329932,
         3333.333333, 27.7926298},
        {"four in arrival order", {3, 1, 5, 2}, 40, 10, 2.75, 0.8539126, 5, 5, 1, 2.1875,
         1.4790199, 3636.363636, 23.6940422},
        {"five sorted once", {5, 1, 4, 2, 3}, 50, 10, 3, 0.7071068, 3, 5, 1, 2, 1.4142136,
         3333.333333, 19.0743570},
        {"all zero", {0, 0, 0}, 30, 10, 0, 0, 0, 0, 0, 0, 0, 0, nan},
    };
    for (const auto& c : cases) {
        const bench::result_figures figures = bench::compute_figures(result_of(c.samples, c.bytes));
        EXPECT_EQ(figures.iterations_count, c.samples.size()) << c.name;
        EXPECT_EQ(figures.iteration_size, c.size) << c.name;
        expect_figure(figures.mean_time, c.mean, "mean", c.name);
        expect_figure(figures.error_of_mean_time, c.error, "error of mean", c.name);
        expect_figure(figures.median_time, c.median, "median", c.name);
        expect_figure(figures.max, c.max, "max", c.name);
        expect_figure(figures.min, c.min, "min", c.name);
        expect_figure(figures.variance, c.variance, "variance", c.name);
        expect_figure(figures.standard_deviation, c.deviation, "deviation", c.name);
        expect_figure(figures.mean_bandwidth, c.bandwidth, "bandwidth", c.name);
        expect_figure(figures.error_of_mean_bandwidth, c.bandwidth_error, "bandwidth error",
                      c.name);
    }
}

TEST(ComputeFigures, IterationSizeIsAnIntegerDivision)
{
    EXPECT_EQ(bench::compute_figures(result_of({1, 1, 1}, 10)).iteration_size, 3u);
}

}  // namespace
