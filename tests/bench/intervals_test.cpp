#include <bench/aggregate.hpp>
#include <bench/intervals.hpp>
#include <bench/result_record.hpp>
#include <bench/test_result.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const clock_type::time_point origin{};
constexpr std::int64_t second_ns = 1000000000;

// A step of a result with one-second intervals: it ends at end_ms from the
// origin and lasts ns.
struct step {
    std::int64_t end_ms;
    std::int64_t ns;
};

// A thread's result of the steps, each moving 10 bytes; fails at fail_ms
// when that is not negative.
bench::result_record record_of(const std::vector<step>& steps, std::int64_t fail_ms = -1)
{
    bench::test_result result;
    result.intervals.emplace(origin, second_ns);
    for (const step& each : steps) {
        const auto end = origin + std::chrono::milliseconds(each.end_ms);
        bench::record_step(result, 10, end - std::chrono::nanoseconds(each.ns), end);
    }
    result.success = fail_ms < 0;
    if (!result.success)
        result.intervals->record_failure(origin + std::chrono::milliseconds(fail_ms));
    return bench::make_record(std::move(result), 0, origin);
}

TEST(Intervals, AResultsStepsGoToTheIntervalWhereTheyEndedWithTheEmptyOnesBetween)
{
    // Seconds 1, 2 (nothing), 3 and 4 (the step that ends on its first
    // nanosecond belongs to it); the failure at 4.5 s.
    const bench::result_record record =
        record_of({{1100, 1000}, {1999, 3000}, {3000, 500000000}, {3500, 2000}, {4000, 7000}},
                  4500);
    ASSERT_TRUE(record.intervals);
    const bench::interval_series& series = *record.intervals;
    EXPECT_EQ(series.first, 1u);
    ASSERT_EQ(series.intervals.size(), 4u);
    const std::uint64_t steps[] = {2, 0, 2, 1};
    const std::uint64_t failures[] = {0, 0, 0, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(series.intervals[i].steps, steps[i]) << i;
        EXPECT_EQ(series.intervals[i].failures, failures[i]) << i;
    }
    EXPECT_EQ(series.steps(), record.steps());
    EXPECT_EQ(series.bytes(), record.bytes_processed);

    // An interval's percentiles are those of its own steps, clamped into
    // their extremes as a result's are; an empty one has none.
    const bench::percentile_values stalled = series.intervals[2].percentiles_ms();
    EXPECT_EQ(stalled.back(), 500.0);
    EXPECT_LT(series.intervals[0].percentiles_ms().back(), 0.01);
    EXPECT_TRUE(std::isnan(series.intervals[1].percentiles_ms().front()));
    // Only the buckets that hold a step are kept.
    EXPECT_EQ(series.intervals[2].buckets.size(), 2u);
    EXPECT_TRUE(series.intervals[1].buckets.empty());
}

TEST(Intervals, AnAggregateMergesItsThreadsByIndexAndAFailedThreadsFailuresOnly)
{
    bench::test_aggregate aggregate;
    const bench::result_record early = record_of({{500, 1000}, {1500, 1000}});
    const bench::result_record late = record_of({{1200, 2000}, {4100, 1000}, {4200, 1000}});
    const bench::result_record failed = record_of({{2500, 1000}}, 5300);
    for (const bench::result_record* record : {&early, &late, &failed}) aggregate.merge(*record);

    ASSERT_TRUE(aggregate.intervals);
    const bench::interval_series& series = *aggregate.intervals;
    EXPECT_EQ(series.first, 0u);
    ASSERT_EQ(series.intervals.size(), 6u);
    const std::uint64_t steps[] = {1, 2, 0, 0, 2, 0};
    const std::uint64_t failures[] = {0, 0, 0, 0, 0, 1};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(series.intervals[i].steps, steps[i]) << i;
        EXPECT_EQ(series.intervals[i].failures, failures[i]) << i;
    }
    EXPECT_EQ(series.steps(), aggregate.iterations);
    EXPECT_EQ(series.bytes(), aggregate.bytes);
    // Buckets of both threads in one list, in order, a shared one added up.
    const std::vector<std::uint64_t>& second = series.intervals[1].buckets;
    ASSERT_EQ(second.size(), 2u);
    EXPECT_LT(bench::interval_figures::index_of(second[0]),
              bench::interval_figures::index_of(second[1]));
    EXPECT_EQ(bench::interval_figures::count_of(second[0]) +
                  bench::interval_figures::count_of(second[1]),
              2u);
}

TEST(Intervals, TheTimeCoveredIsTheUnionOfTheSpansWithinEachInterval)
{
    bench::interval_series series;
    series.length_ns = second_ns;
    series.first = 1;
    series.intervals.resize(4);
    // Two overlapping spans and one after a gap: 1.5 s to 2.6 s, 3.2 s to 3.4 s.
    const std::vector<std::int64_t> covered =
        bench::covered_ns(series, {{1500000000, 2200000000}, {3200000000, 3400000000},
                                   {2000000000, 2600000000}});
    EXPECT_EQ(covered, (std::vector<std::int64_t>{500000000, 600000000, 200000000, 0}));
}

}  // namespace
