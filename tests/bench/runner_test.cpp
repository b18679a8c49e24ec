#include <bench/runner.hpp>

#include <bench/kinds.hpp>
#include <bench/result_record.hpp>

#include "recording_client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace {

using kvtest::recording_client;
namespace acc = boost::accumulators;

const std::string scale =
    "\n0%   10   20   30   40   50   60   70   80   90   100%\n"
    "|----|----|----|----|----|----|----|----|----|----|\n";

// A context of the given thread count whose client is a recording client.
struct recorded_context {
    explicit recorded_context(int threads, std::uint32_t number = 0,
                              std::optional<double> rate = {})
        : context(settings_for(threads, rate), number)
    {
        auto owned = std::make_unique<recording_client>();
        store = owned.get();
        context.client = std::move(owned);
    }
    static bench::run_settings settings_for(int threads, std::optional<double> rate = {})
    {
        bench::run_settings settings;
        settings.protocol = bench::protocol_type::local;
        settings.threads = threads;
        settings.rate = rate;
        return settings;
    }

    bench::thread_context context;
    recording_client* store = nullptr;
};

TEST(RunTest, ReturnsTheCompletedResultOfTheSpecsKind)
{
    recorded_context threads(4, 2);
    const struct {
        bench::test_spec test;
        const char* operations;
    } cases[] = {
        {bench::single_put_multiple_get{1, 1}, "put get remove"},
        {bench::multiple_put{1, 1}, "put remove"},
        {bench::multiple_put_remain{1, 1}, "put"},
        {bench::multiple_put_get_delete{1, 1}, "put get remove"},
        {bench::multiple_put_get_update_delete{1, 1}, "put get update get remove"},
    };
    for (const auto& c : cases) {
        threads.store->calls.clear();
        std::ostringstream out, err;
        const bench::test_result result = bench::run_test(threads.context, c.test, out, err);
        EXPECT_TRUE(result.success);
        EXPECT_EQ(result.description, bench::describe(c.test));
        EXPECT_EQ(result.thread_number, 2u);
        EXPECT_EQ(acc::count(result.timings), 1u);
        EXPECT_EQ(threads.store->operations(), c.operations);
        EXPECT_EQ(out.str(), "") << "no progress display with several threads";
        EXPECT_EQ(result.failure, "");
    }
}

TEST(RunTest, ReportsAFailureOnItsOwnLineAndKeepsWhatWasRecorded)
{
    recorded_context threads(2);
    threads.store->fail_at(4, "could not get entry");
    std::ostringstream out, err;
    const bench::test_result result =
        bench::run_test(threads.context, bench::single_put_multiple_get{10, 5}, out, err);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.failure, "could not get entry");
    EXPECT_EQ(acc::count(result.timings), 2u);
    EXPECT_EQ(result.bytes_processed, 20u);
    EXPECT_EQ(result.description, "putting 10.0 B once and getting it 5 times");
    EXPECT_EQ(err.str(), "\ntest failed: could not get entry\n");
}

TEST(RunTest, AResultHasTheRedirectionsOfItsTestWhenTheClientCountsThem)
{
    recorded_context threads(2);
    std::ostringstream out, err;
    const bench::test_spec three_puts = bench::multiple_put{1, 3};
    EXPECT_FALSE(bench::run_test(threads.context, three_puts, out, err).redirections);

    // The counts the client had before the test are not the test's; a
    // failed test keeps those it made.
    threads.store->count_redirections({5, 2});
    EXPECT_EQ(bench::run_test(threads.context, three_puts, out, err).redirections,
              (bench::redirection_counts{3, 0}));
    threads.store->fail_at(threads.store->calls.size() + 2, "could not put entry");
    const bench::test_result failed = bench::run_test(threads.context, three_puts, out, err);
    EXPECT_FALSE(failed.success);
    EXPECT_EQ(failed.redirections, (bench::redirection_counts{2, 0}));
}

TEST(RunTest, DrawsTheProgressDisplayInASingleThread)
{
    const struct {
        bench::test_spec test;
        std::size_t failing_call;
        std::string out;
        std::string err;
    } cases[] = {
        {bench::multiple_put_get_delete{1, 7}, 0, scale + std::string(51, '*') + "\n", ""},
        {bench::multiple_put_get_delete{1, 0}, 0, scale, ""},
        {bench::multiple_put_remain{1, 2}, 2, scale + std::string(25, '*'),
         "\ntest failed: cannot put entry\n"},
    };
    for (const auto& c : cases) {
        recorded_context single(1);
        if (c.failing_call != 0) {
            single.store->fail_at(c.failing_call, "cannot put entry");
        }
        std::ostringstream out, err;
        const bench::test_result result = bench::run_test(single.context, c.test, out, err);
        EXPECT_EQ(result.success, c.failing_call == 0);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), c.err);
    }
}

TEST(RunTest, OpenLoopTimesEachStepFromItsDueTime)
{
    // Steps due every millisecond on a store that takes 3 ms a put: step k
    // starts about 3k ms in, so its response time grows about 2 ms a step
    // while its service time stays at 3 ms.
    recorded_context open(2, 0, 1000.0);
    open.store->slow_put(std::chrono::milliseconds(3));
    std::ostringstream out, err;
    const bench::result_record record = bench::make_record(
        bench::run_test(open.context, bench::multiple_put_remain{1, 10}, out, err), 0);
    ASSERT_TRUE(record.success) << err.str();
    ASSERT_TRUE(record.open_loop);
    const bench::open_loop_times& times = *record.open_loop;
    EXPECT_EQ(times.service.total(), 10u);
    EXPECT_GE(times.service_min_ms, 3.0);
    EXPECT_GE(record.figures.min, times.service_min_ms);
    EXPECT_GE(record.figures.max, 2 * 9 + 3.0);
    EXPECT_GE(bench::mean_start_lateness_ms(record), 9.0 * 0.9);
    EXPECT_LT(bench::achieved_rate(record), 0.95 * 1000.0);

    recorded_context closed(2);
    const bench::result_record closed_record = bench::make_record(
        bench::run_test(closed.context, bench::multiple_put_remain{1, 10}, out, err), 0);
    EXPECT_FALSE(closed_record.open_loop);
    EXPECT_TRUE(std::isnan(bench::mean_start_lateness_ms(closed_record)));
}

}  // namespace
