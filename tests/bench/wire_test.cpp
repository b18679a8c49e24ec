#include <bench/cluster/wire.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

namespace wire = bench::wire;
using namespace std::string_literals;

// A result with a distinct value in every field and steps in every kind of
// bucket: underflow, single nanoseconds, the wide ones, overflow; with
// open-loop times when asked.
bench::result_record sample_record(bool open_loop = false)
{
    bench::result_record record;
    record.test_index = 7;
    record.thread_number = 41;
    record.rank = 3;
    record.success = false;
    record.description = "putting 64.0 B; then \xff\0 more"s;
    record.failure = "content does not match";
    record.bytes_processed = 0x1234567890abcdefULL;
    record.figures = {5, 12, 1.5, std::numeric_limits<double>::quiet_NaN(), -0.25, 1e300,
                      -std::numeric_limits<double>::infinity(), 3.0, 2.5, 0.125, 1e-300};
    record.sum_ms = 99.75;
    record.start_ns = -123456789;
    record.end_ns = 987654321012;
    for (const std::int64_t ns : {-5LL, 0LL, 7LL, 255LL, 256LL, 1000000LL, 1LL << 40})
        record.latency.record(ns);
    record.latency.record(1000000);
    record.last_start_ns = 987654320000;
    if (open_loop) {
        bench::open_loop_times& times = record.open_loop.emplace();
        times.requested_rate = 2500.5;
        for (const std::int64_t ns : {300LL, 300LL, 70000LL}) times.service.record(ns);
        times.service_min_ms = 0.0003;
        times.service_max_ms = 0.07;
        times.total_lateness_ns = 4242;
    }
    return record;
}

std::string encoded(const bench::result_record& record)
{
    wire::writer out;
    wire::put(out, record);
    return out.take();
}

TEST(Wire, ARecordComesBackWhole)
{
    for (const bool open_loop : {false, true}) {
        SCOPED_TRACE(open_loop ? "open loop" : "closed loop");
        const bench::result_record sent = sample_record(open_loop);
        const std::string bytes = encoded(sent);
        wire::reader in(bytes);
        const bench::result_record got = wire::get_record(in);
        in.finish();

        // Every field holds a value of its own, so a field read into another
        // one's place, or changed on the way (a NaN's bits included), would
        // encode differently.
        EXPECT_EQ(encoded(got), bytes);
        EXPECT_EQ(got.description, sent.description);
        EXPECT_EQ(got.start_ns, sent.start_ns);
        EXPECT_TRUE(std::isnan(got.figures.error_of_mean_time));
        EXPECT_TRUE(got.latency == sent.latency);
        ASSERT_EQ(got.open_loop.has_value(), open_loop);
        // 8 steps in 7 buckets (and 3 service times in 2): the size the
        // header promises.
        EXPECT_EQ(bytes.size(), 158 + sent.description.size() + sent.failure.size() + 7 * 12 +
                                    (open_loop ? 36 + 2 * 12 : 0));
        if (open_loop) {
            EXPECT_TRUE(got.open_loop->service == sent.open_loop->service);
        }
    }
}

TEST(Wire, APlanAndARanksFactsComeBackWhole)
{
    wire::run_plan plan;
    plan.tests = {bench::make_test_spec(4, 10, 30), bench::make_test_spec(0, 1024, 0)};
    plan.lockstep = true;
    plan.error = "unknown test type";
    bench::rank_facts facts{2, {"node7", "FreeBSD", "14.1", "amd64", std::nullopt, 64}, 8,
                            "[::1]:6379"};
    wire::writer out;
    wire::put(out, plan);
    wire::put(out, facts);
    const std::string bytes = out.take();

    wire::reader in(bytes);
    const wire::run_plan got = wire::get_plan(in);
    const bench::rank_facts got_facts = wire::get_rank_facts(in);
    in.finish();
    EXPECT_EQ(got.lockstep, true);
    EXPECT_EQ(got.error, plan.error);
    ASSERT_EQ(got.tests.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(got.tests[i].which(), plan.tests[i].which());
        EXPECT_EQ(bench::kind_size(got.tests[i]), bench::kind_size(plan.tests[i]));
        EXPECT_EQ(bench::kind_count(got.tests[i]), bench::kind_count(plan.tests[i]));
    }
    EXPECT_EQ(got_facts.rank, 2u);
    EXPECT_EQ(got_facts.host.name, "node7");
    EXPECT_EQ(got_facts.host.machine, "amd64");
    EXPECT_FALSE(got_facts.host.cpu_model);
    EXPECT_EQ(got_facts.host.logical_cpus, 64u);
    EXPECT_EQ(got_facts.threads, 8);
    EXPECT_EQ(got_facts.daemon, "[::1]:6379");
}

TEST(Wire, ShortLongOrOutOfRangeMessagesAreRefused)
{
    const std::string bytes = encoded(sample_record(true));
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const std::string cut = bytes.substr(0, length);
        wire::reader in(cut);
        EXPECT_THROW(wire::get_record(in), std::runtime_error) << length << " bytes";
    }
    const std::string longer = bytes + '\0';
    wire::reader extra(longer);
    wire::get_record(extra);
    EXPECT_THROW(extra.finish(), std::runtime_error);

    // The last service bucket's index and a test's kind, each one past the end.
    std::string bad_bucket = bytes;
    bad_bucket.replace(bytes.size() - 24 - 12, 4, std::string("\x81\x0f\0\0", 4));
    wire::reader bucket(bad_bucket);
    EXPECT_THROW(wire::get_record(bucket), std::runtime_error);

    wire::writer out;
    wire::put(out, wire::run_plan{{bench::make_test_spec(1, 1, 1)}, false, ""});
    std::string bad_kind = out.take();
    bad_kind[bad_kind.size() - 17] = 6;
    wire::reader kind(bad_kind);
    EXPECT_THROW(wire::get_plan(kind), std::runtime_error);
}

}  // namespace
