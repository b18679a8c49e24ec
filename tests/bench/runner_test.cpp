#include <bench/runner.hpp>

#include <bench/kinds.hpp>

#include "recording_client.hpp"

#include <gtest/gtest.h>

#include <memory>
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
    explicit recorded_context(int threads, std::uint32_t number = 0)
        : context(settings_for(threads), number)
    {
        auto owned = std::make_unique<recording_client>();
        store = owned.get();
        context.client = std::move(owned);
    }
    static bench::run_settings settings_for(int threads)
    {
        bench::run_settings settings;
        settings.protocol = bench::protocol_type::local;
        settings.threads = threads;
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

}  // namespace
