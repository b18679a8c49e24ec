#include <bench/status/status_line.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A slot that recorded each of `durations` once, besides `earlier`.
bench::live_snapshot recorded(const std::vector<std::int64_t>& durations,
                              const bench::live_snapshot& earlier = {})
{
    bench::live_slot slot;
    for (const std::int64_t ns : durations) slot.record(ns);
    bench::live_snapshot snapshot;
    snapshot.add(slot);
    snapshot.steps += earlier.steps;
    for (std::size_t i = 0; i < bench::live_bucket_count; ++i)
        snapshot.buckets[i] += earlier.buckets[i];
    return snapshot;
}

std::vector<std::int64_t> repeated(std::int64_t ns, int times)
{
    return std::vector<std::int64_t>(static_cast<std::size_t>(times), ns);
}

std::vector<std::int64_t> joined(std::vector<std::int64_t> a, const std::vector<std::int64_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(StatusLine, BucketsCoverEveryDurationInOrderAndHoldTheirBounds)
{
    std::size_t previous = 0;
    for (std::int64_t ns = 0; ns < 5000; ++ns) {
        const std::size_t bucket = bench::live_bucket_of(ns);
        EXPECT_TRUE(bucket == previous || bucket == previous + 1) << ns;
        EXPECT_GE(bench::live_bucket_upper(bucket), static_cast<std::uint64_t>(ns)) << ns;
        if (bucket > 0) {
            EXPECT_LT(bench::live_bucket_upper(bucket - 1), static_cast<std::uint64_t>(ns));
        }
        previous = bucket;
    }
    EXPECT_EQ(bench::live_bucket_of(-5), 0U);
    EXPECT_EQ(bench::live_bucket_of(INT64_MAX), bench::live_bucket_count - 3);
    EXPECT_EQ(bench::live_bucket_upper(bench::live_bucket_count - 1), UINT64_MAX);
}

// Steps per second and p99 of the steps between two snapshots.
TEST(StatusLine, LastIntervalFiguresComeFromTheDifferenceOfTwoSnapshots)
{
    const bench::live_snapshot old_steps = recorded(repeated(50000000, 1000));
    struct row {
        const char* name;
        bench::live_snapshot before;
        std::vector<std::int64_t> since;  // recorded after `before`
        std::chrono::nanoseconds interval;
        double steps_per_s;
        std::optional<std::uint64_t> p99_ns;
    };
    const std::vector<row> rows = {
        {"nothing recorded", {}, {}, 1s, 0, std::nullopt},
        {"one step", {}, {1000}, 1s, 1, 1023},
        // 100 steps: the 99th is still in the fast bucket.
        {"99 fast, 1 slow", {}, joined(repeated(1000, 99), {1000000}), 1s, 100, 1023},
        {"98 fast, 2 slow", {}, joined(repeated(1000, 98), repeated(1000000, 2)), 1s, 100,
         1048575},
        {"over half a second", {}, repeated(1000, 100), 500ms, 200, 1023},
        // Slow steps of an earlier second count in neither figure.
        {"earlier steps left out", old_steps, repeated(3000, 400), 2s, 200, 3071},
    };
    for (const row& r : rows) {
        const bench::live_figures figures =
            bench::live_difference(r.before, recorded(r.since, r.before), r.interval);
        EXPECT_DOUBLE_EQ(figures.steps_per_s, r.steps_per_s) << r.name;
        EXPECT_EQ(figures.p99_ns, r.p99_ns) << r.name;
    }
}

TEST(StatusLine, FormatsElapsedTimeTestsRateP99AndFailures)
{
    struct row {
        bench::status_view view;
        const char* text;
    };
    const std::vector<row> rows = {
        {{12s, {{2, "mix"}}, {153210.4, 131071}, 0},
         "0:12 | test 2 mix | 153210 steps/s | p99 131.1 us | 0 failed"},
        {{3725s, {{1, "multiple_put"}, {3, "mix"}}, {99.6, 1500000}, 2},
         "1:02:05 | tests 1 multiple_put, 3 mix | 100 steps/s | p99 1.50 ms | 2 failed"},
        {{61500ms, {}, {0, std::nullopt}, 1},
         "1:01 | between tests | 0 steps/s | p99 - | 1 failed"},
        {{0s, {{1, "mix"}}, {5, 767}, 0}, "0:00 | test 1 mix | 5 steps/s | p99 767 ns | 0 failed"},
        {{5s, {{1, "mix"}}, {1, 2400000000}, 0}, "0:05 | test 1 mix | 1 steps/s | p99 2.40 s | 0 failed"},
    };
    for (const row& r : rows) EXPECT_EQ(bench::format_status(r.view), r.text);
}

// A board counts the failed tests and lists the running ones once each.
TEST(StatusLine, BoardListsRunningTestsAndCountsFailures)
{
    bench::status_board board(3);
    board.slot(0).test = 2;
    board.slot(1).test = 1;
    board.slot(2).test = 2;
    EXPECT_EQ(board.running(), (std::vector<std::uint32_t>{1, 2}));
    board.finished(board.slot(1), false);
    board.finished(board.slot(2), true);
    EXPECT_EQ(board.running(), (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(board.failures(), 1U);
    board.slot(0).record(10);
    board.slot(2).record(10);
    EXPECT_EQ(board.snapshot().steps, 2U);
}

}  // namespace
