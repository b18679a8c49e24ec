#include <bench/latency_histogram.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace {

using bench::duration_axis;
using bench::latency_histogram;

TEST(LatencyHistogram, BucketsTileTheRangeWithinOnePercent)
{
    const duration_axis axis;
    std::int64_t expected_lower = 0;
    for (duration_axis::index_type i = 0; i < duration_axis::bucket_count; ++i) {
        const std::int64_t lower = duration_axis::lower_ns(i);
        const std::int64_t upper = duration_axis::upper_ns(i);
        ASSERT_EQ(lower, expected_lower) << "bucket " << i;
        ASSERT_EQ(axis.index(lower), i);
        ASSERT_EQ(axis.index(upper), i);
        ASSERT_LE(static_cast<double>(upper), static_cast<double>(lower) * 1.01) << "bucket " << i;
        expected_lower = upper + 1;
    }
    EXPECT_EQ(axis.index(10), 10);
    EXPECT_LT(axis.index(100'000'000'000), duration_axis::bucket_count) << "100 s has a bucket";
    EXPECT_EQ(axis.index(duration_axis::limit_ns), duration_axis::bucket_count);
    EXPECT_EQ(axis.index(-1), -1);
    EXPECT_LE(sizeof(std::uint64_t) * (duration_axis::bucket_count + 2), 40u * 1024);
}

// Nearest-rank order statistic of the exact samples, in nanoseconds.
double exact_percentile(std::vector<std::int64_t> sorted, std::uint32_t parts_per_million)
{
    const auto n = static_cast<std::uint64_t>(sorted.size());
    const std::uint64_t rank = std::max<std::uint64_t>(
        1, (n * parts_per_million + 999999) / 1000000);
    return static_cast<double>(sorted[rank - 1]);
}

TEST(LatencyHistogram, PercentilesAreWithinOnePercentOfTheExactOnes)
{
    std::mt19937_64 random(12345);
    std::lognormal_distribution<double> lognormal(std::log(50'000.0), 1.5);
    std::normal_distribution<double> fast(2'000.0, 200.0), slow(3'000'000.0, 300'000.0);
    std::bernoulli_distribution one_in_twenty(0.05);
    const struct {
        const char* name;
        std::function<std::int64_t()> draw;
    } sets[] = {
        {"log-normal", [&] { return static_cast<std::int64_t>(lognormal(random)); }},
        {"bimodal",
         [&] {
             return std::max<std::int64_t>(
                 0, static_cast<std::int64_t>(one_in_twenty(random) ? slow(random) : fast(random)));
         }},
        {"constant", [] { return std::int64_t{123'456}; }},
        {"short", [&] { return static_cast<std::int64_t>(random() % 300); }},
    };
    for (const auto& set : sets) {
        latency_histogram histogram;
        std::vector<std::int64_t> samples(200'000);
        for (auto& sample : samples) {
            sample = set.draw();
            histogram.record(sample);
        }
        std::sort(samples.begin(), samples.end());
        const double min_ms = static_cast<double>(samples.front()) / 1e6;
        const double max_ms = static_cast<double>(samples.back()) / 1e6;
        const auto values = histogram.percentiles_ms(min_ms, max_ms);
        for (std::size_t i = 0; i < bench::reported_percentiles.size(); ++i) {
            const auto& point = bench::reported_percentiles[i];
            const double exact = exact_percentile(samples, point.parts_per_million) / 1e6;
            EXPECT_NEAR(values[i], exact, exact * 0.01) << set.name << " " << point.name;
            EXPECT_GE(values[i], exact) << set.name << " " << point.name;
        }
        EXPECT_EQ(values.back(), max_ms) << set.name << ": p100 is the max";
    }
    EXPECT_TRUE(std::isnan(latency_histogram().percentile_ms(500000, 0, 0)));
}

TEST(LatencyHistogram, MergedAndRebuiltHistogramsEqualTheHistogramOfTheUnion)
{
    std::mt19937_64 random(7);
    latency_histogram first, second, both;
    for (int i = 0; i < 50'000; ++i) {
        const auto a = static_cast<std::int64_t>(random() % 10'000'000);
        const auto b = static_cast<std::int64_t>(random() % 1'000);
        first.record(a);
        second.record(b);
        both.record(a);
        both.record(b);
    }
    first.record(-5);
    both.record(-5);
    second.record(duration_axis::limit_ns * 2);
    both.record(duration_axis::limit_ns * 2);

    latency_histogram merged = first;
    merged += second;
    EXPECT_TRUE(merged == both);
    EXPECT_EQ(merged.total(), 100'002u);

    // Sent as plain counts and built again.
    latency_histogram rebuilt;
    for (auto i = latency_histogram::first_index; i <= latency_histogram::last_index; ++i)
        rebuilt.set_count(i, merged.count(i));
    EXPECT_TRUE(rebuilt == both);
    EXPECT_EQ(merged.count(latency_histogram::first_index), 1u);
    EXPECT_EQ(merged.count(latency_histogram::last_index), 1u);
}

}  // namespace
