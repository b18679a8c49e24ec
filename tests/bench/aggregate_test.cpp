#include <bench/aggregate.hpp>

#include <gtest/gtest.h>

#include <boost/accumulators/statistics/variance.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <optional>
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

// The figures of one operation type over the given durations (ns), with
// the given hits and misses.
bench::operation_figures operation_of(const std::vector<std::int64_t>& steps,
                                      std::uint64_t hits = 0, std::uint64_t misses = 0)
{
    bench::operation_figures figures;
    figures.steps = steps.size();
    figures.hits = hits;
    figures.misses = misses;
    for (const std::int64_t ns : steps) {
        figures.latency.record(ns);
        figures.min_ms = std::min(figures.min_ms, static_cast<double>(ns) / 1e6);
        figures.max_ms = std::max(figures.max_ms, static_cast<double>(ns) / 1e6);
    }
    return figures;
}

// A mix result with a step for each step of its operations, holding their
// figures.
bench::result_record mix_record(bench::operation_table operations, bool success = true)
{
    std::vector<std::int64_t> steps;
    for (const auto& figures : operations)
        if (figures) steps.insert(steps.end(), figures->steps, 1000);
    bench::test_result result = result_of(steps, run_start, success);
    result.operations = std::move(operations);
    return bench::make_record(std::move(result), 0, run_start);
}

TEST(TestAggregate, MergesTheFiguresOfEachOperationOfItsSuccessfulResults)
{
    using op = bench::operation;
    const auto at = [](op o) { return static_cast<std::size_t>(o); };
    struct merge_case {
        const char* name;
        std::vector<bench::result_record> records;
        // By operation: steps, hits, misses, min and max ms; none where the
        // aggregate must hold no figures.
        std::array<std::optional<std::array<double, 5>>, bench::operation_count> expected;
    };
    bench::operation_table get_and_put;
    get_and_put[at(op::get)] = operation_of({2000, 5000, 9000}, 2, 1);
    get_and_put[at(op::put)] = operation_of({4000});
    bench::operation_table get_only;
    get_only[at(op::get)] = operation_of({1000, 3000}, 0, 2);
    bench::operation_table update_and_rmw;
    update_and_rmw[at(op::update)] = operation_of({7000}, 1, 0);
    update_and_rmw[at(op::read_modify_write)] = operation_of({6000, 8000}, 1, 1);

    using figures = std::array<double, 5>;
    const std::vector<merge_case> cases = {
        {"threads with different operations add up by type",
         {mix_record(get_and_put), mix_record(get_only)},
         {{figures{5, 2, 3, 0.001, 0.009}, figures{1, 0, 0, 0.004, 0.004}, std::nullopt,
           std::nullopt, std::nullopt}}},
        {"a failed result's operations are not merged",
         {mix_record(get_only), mix_record(update_and_rmw, false)},
         {{figures{2, 0, 2, 0.001, 0.003}, std::nullopt, std::nullopt, std::nullopt,
           std::nullopt}}},
        {"the results of the other kinds have none",
         {bench::make_record(result_of({1000}, run_start), 0)},
         {}},
    };
    for (const merge_case& c : cases) {
        SCOPED_TRACE(c.name);
        bench::test_aggregate aggregate;
        for (const bench::result_record& record : c.records) aggregate.merge(record);
        for (std::size_t i = 0; i < bench::operation_count; ++i) {
            SCOPED_TRACE(bench::operation_names[i]);
            const auto& got = aggregate.operations[i];
            ASSERT_EQ(got.has_value(), c.expected[i].has_value());
            if (!got) continue;
            const auto& want = *c.expected[i];
            EXPECT_EQ(got->steps, want[0]);
            EXPECT_EQ(got->hits, want[1]);
            EXPECT_EQ(got->misses, want[2]);
            EXPECT_DOUBLE_EQ(got->min_ms, want[3]);
            EXPECT_DOUBLE_EQ(got->max_ms, want[4]);
            EXPECT_EQ(got->latency.total(), got->steps) << "histograms added";
            EXPECT_DOUBLE_EQ(got->percentiles().back(), want[4]);
        }
    }
}

}  // namespace
