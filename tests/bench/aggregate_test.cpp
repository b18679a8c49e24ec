#include <bench/aggregate.hpp>

#include <gtest/gtest.h>

#include <boost/accumulators/statistics/variance.hpp>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const clock_type::time_point run_start{};

// A result whose steps last the given nanoseconds, back to back from `from`.
bench::test_result result_of(const std::vector<std::int64_t>& steps, clock_type::time_point from,
                             bool success = true)
{
    bench::test_result result;
    result.success = success;
    auto at = from;
    for (const std::int64_t ns : steps) {
        const auto end = at + std::chrono::nanoseconds(ns);
        bench::record_step(result, 100, at, end);
        at = end;
    }
    return result;
}

TEST(TestAggregate, PoolsExactlyWhatTheUnionOfItsResultsGives)
{
    std::mt19937_64 random(3);
    std::vector<std::vector<std::int64_t>> threads(4);
    bench::test_result union_of_all;
    bench::latency_histogram union_histogram;
    for (std::size_t t = 0; t < threads.size(); ++t) {
        // Each thread a different level, so that pooling must account for
        // the spread between the means.
        for (int i = 0; i < 1000 + 500 * static_cast<int>(t); ++i) {
            const auto ns = static_cast<std::int64_t>(1000 * (t + 1) + random() % 5000);
            threads[t].push_back(ns);
            bench::record_step(union_of_all, 100, clock_type::time_point{},
                               clock_type::time_point{} + std::chrono::nanoseconds(ns));
            union_histogram.record(ns);
        }
    }

    bench::test_aggregate aggregate(2);
    for (std::size_t t = 0; t < threads.size(); ++t)
        aggregate.merge(bench::make_record(
            result_of(threads[t], run_start + std::chrono::milliseconds(t)), 2, run_start));
    aggregate.merge(bench::make_record(result_of({1, 2, 3}, run_start, false), 2, run_start));

    namespace acc = boost::accumulators;
    const auto& all = union_of_all.timings;
    EXPECT_EQ(aggregate.threads, 5u);
    EXPECT_EQ(aggregate.failed_threads, 1u);
    EXPECT_EQ(aggregate.iterations, acc::count(all));
    EXPECT_EQ(aggregate.bytes, 100 * acc::count(all));
    EXPECT_NEAR(aggregate.mean_ms(), acc::mean(all), acc::mean(all) * 1e-12);
    EXPECT_NEAR(aggregate.standard_deviation_ms(), std::sqrt(acc::variance(all)),
                std::sqrt(acc::variance(all)) * 1e-9);
    EXPECT_EQ(aggregate.min_ms, acc::min(all));
    EXPECT_EQ(aggregate.max_ms, acc::max(all));
    EXPECT_TRUE(aggregate.latency == union_histogram);

    // From the first thread's first step to the end of the last thread's
    // last step, which started 3 ms into the run.
    std::int64_t last_thread_ns = 0;
    for (const auto ns : threads.back()) last_thread_ns += ns;
    EXPECT_EQ(aggregate.start_ns, 0);
    EXPECT_EQ(aggregate.span_ns(), 3'000'000 + last_thread_ns);
    const double seconds = static_cast<double>(aggregate.span_ns()) / 1e9;
    EXPECT_DOUBLE_EQ(aggregate.rate().steps_per_s,
                     static_cast<double>(aggregate.iterations) / seconds);
}

TEST(TestAggregate, WithoutSuccessfulStepsHasNoFigures)
{
    bench::test_aggregate aggregate;
    aggregate.merge(bench::make_record(result_of({}, run_start), 0, run_start));
    aggregate.merge(bench::make_record(result_of({5, 6}, run_start, false), 0, run_start));
    EXPECT_EQ(aggregate.threads, 2u);
    EXPECT_EQ(aggregate.iterations, 0u);
    EXPECT_TRUE(std::isnan(aggregate.mean_ms()));
    EXPECT_TRUE(std::isnan(aggregate.min_ms));
    EXPECT_TRUE(std::isnan(aggregate.percentiles()[0]));
    EXPECT_EQ(aggregate.rate().steps_per_s, 0.0);
}

}  // namespace
