#include <bench/cluster/wire.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

namespace {

namespace wire = bench::wire;
using namespace std::string_literals;

// A result with a distinct value in every field and steps in every kind of
// bucket: underflow, single nanoseconds, the wide ones, overflow; with
// open-loop times and the figures of a mix test's get and
// read_modify_write when asked.
bench::result_record sample_record(bool open_loop = false, bool mix = false,
                                   bool redirected = false)
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
        for (const std::int64_t ns : {0LL, 0LL, 2000000LL}) times.lateness.record(ns);
        times.lateness_min_ms = -0.0;
        times.lateness_max_ms = 2.0;
    }
    if (redirected) record.redirections = bench::redirection_counts{0x1122334455667788ULL, 9};
    if (mix) {
        bench::operation_figures& get = record.operations[0].emplace();
        get.steps = 11;
        get.hits = 7;
        get.misses = 4;
        get.min_ms = 0.0005;
        get.max_ms = std::numeric_limits<double>::infinity();
        for (const std::int64_t ns : {500LL, 500LL, 90000LL}) get.latency.record(ns);
        bench::operation_figures& rmw = record.operations[4].emplace();
        rmw.steps = 0x0102030405060708ULL;
        rmw.hits = 13;
        rmw.misses = 21;
        rmw.min_ms = -0.0;
        rmw.max_ms = 1e10;
        rmw.latency.record(1LL << 40);
    }
    return record;
}

// What the start latenesses of sample_record(true) take at the end of its
// message: their 2 buckets after their number, then their min and max.
constexpr std::ptrdiff_t lateness_bytes = 4 + 2 * 12 + 16;
// What follows them in a record without intervals: the intervals' flag.
constexpr std::ptrdiff_t flag_bytes = 1;

std::string encoded(const bench::result_record& record)
{
    wire::writer out;
    wire::put(out, record);
    return out.take();
}

TEST(Wire, ARecordComesBackWhole)
{
    for (const auto& [open_loop, mix, redirected] :
         {std::tuple{false, false, false}, std::tuple{true, false, true},
          std::tuple{false, true, false}, std::tuple{true, true, true},
          std::tuple{false, false, true}}) {
        SCOPED_TRACE(std::string(open_loop ? "open loop" : "closed loop") + (mix ? ", mix" : "") +
                     (redirected ? ", redirections" : ""));
        const bench::result_record sent = sample_record(open_loop, mix, redirected);
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
        // 8 steps in 7 buckets (and 3 service times in 2, 3 start latenesses
        // in 2, 3 gets in 2 and one read_modify_write in 1): the size the
        // header promises.
        EXPECT_EQ(bytes.size(), 160 + flag_bytes + sent.description.size() +
                                    sent.failure.size() + 7 * 12 +
                                    (open_loop ? 36 + 2 * 12 + lateness_bytes : 0) +
                                    (redirected ? 16 : 0) +
                                    (mix ? 2 * 44 + 3 * 12 : 0));
        if (open_loop) {
            EXPECT_TRUE(got.open_loop->service == sent.open_loop->service);
            EXPECT_TRUE(got.open_loop->lateness == sent.open_loop->lateness);
            EXPECT_EQ(got.open_loop->lateness_max_ms, 2.0);
        }
        EXPECT_EQ(got.redirections, sent.redirections);
        for (std::size_t i = 0; i < bench::operation_count; ++i) {
            SCOPED_TRACE(bench::operation_names[i]);
            ASSERT_EQ(got.operations[i].has_value(), sent.operations[i].has_value());
            if (!sent.operations[i]) continue;
            const bench::operation_figures& want = *sent.operations[i];
            EXPECT_EQ(got.operations[i]->steps, want.steps);
            EXPECT_EQ(got.operations[i]->hits, want.hits);
            EXPECT_EQ(got.operations[i]->misses, want.misses);
            EXPECT_EQ(got.operations[i]->max_ms, want.max_ms);
            EXPECT_TRUE(got.operations[i]->latency == want.latency);
        }
        EXPECT_EQ(got.operations[0].has_value(), mix);
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
    const std::string bytes = encoded(sample_record(true, true));
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const std::string cut = bytes.substr(0, length);
        wire::reader in(cut);
        EXPECT_THROW(wire::get_record(in), std::runtime_error) << length << " bytes";
    }
    const std::string longer = bytes + '\0';
    wire::reader extra(longer);
    wire::get_record(extra);
    EXPECT_THROW(extra.finish(), std::runtime_error);

    // The last service bucket's index, the last start lateness bucket's
    // index and a test's kind, each one past the end.
    for (const std::ptrdiff_t from_end :
         {flag_bytes + lateness_bytes + 24 + 12, flag_bytes + 16 + 12}) {
        std::string bad_bucket = bytes;
        bad_bucket.replace(bytes.size() - static_cast<std::size_t>(from_end), 4,
                           std::string("\x81\x0f\0\0", 4));
        wire::reader bucket(bad_bucket);
        EXPECT_THROW(wire::get_record(bucket), std::runtime_error) << from_end;
    }

    // A sixth operation: the bit after the last one's, in the byte that
    // names a record's operations (before its redirections and open-loop
    // flags); and a redirections flag that is neither 0 nor 1.
    const bench::result_record closed = sample_record(false, false);
    std::string bad_operations = encoded(closed);
    bad_operations[bad_operations.size() - 3 - flag_bytes] = 1 << bench::operation_count;
    wire::reader operations(bad_operations);
    EXPECT_THROW(wire::get_record(operations), std::runtime_error);
    std::string bad_flag = encoded(closed);
    bad_flag[bad_flag.size() - 2 - flag_bytes] = 2;
    wire::reader flag(bad_flag);
    EXPECT_THROW(wire::get_record(flag), std::runtime_error);

    wire::writer out;
    wire::put(out, wire::run_plan{{bench::make_test_spec(1, 1, 1)}, false, ""});
    std::string bad_kind = out.take();
    bad_kind[bad_kind.size() - 17] = 6;
    wire::reader kind(bad_kind);
    EXPECT_THROW(wire::get_plan(kind), std::runtime_error);
}

// The bytes with those from `at` on (from the end when negative) replaced.
std::string patched(std::string bytes, std::ptrdiff_t at, const std::string& replacement)
{
    const auto from = at < 0 ? bytes.size() - static_cast<std::size_t>(-at)
                             : static_cast<std::size_t>(at);
    return bytes.replace(from, replacement.size(), replacement);
}

std::string little_endian(std::int64_t value)
{
    wire::writer out;
    out.i64(value);
    return out.take();
}

// Messages that would not be sent back as they came, or hold times that no
// run gives, are refused, as is a length beyond the message.
TEST(Wire, MessagesNoRankWritesAreRefused)
{
    const bench::result_record sample = sample_record(true);
    const std::string record = encoded(sample);
    const auto start_at =
        static_cast<std::ptrdiff_t>(129 + sample.description.size() + sample.failure.size());
    // The start latenesses and the intervals' flag, at the end.
    constexpr std::ptrdiff_t tail = lateness_bytes + flag_bytes;
    const struct {
        const char* name;
        std::string bytes;
        bench::result_record (*decode)(wire::reader&);
    } cases[] = {
        {"success neither 0 nor 1", patched(record, 16, "\x02"), wire::get_record},
        {"open loop neither 0 nor 1", patched(record, -61 - tail, "\x02"),
         wire::get_record},
        {"an empty bucket", patched(record, -32 - tail, std::string(8, '\0')),
         wire::get_record},
        {"a bucket twice", patched(record, -36 - tail, std::string("\x16\x01\0\0", 4)),
         wire::get_record},
        {"a start lateness bucket twice", patched(record, -28 - flag_bytes, std::string(4, '\0')),
         wire::get_record},
        {"a start 2^62 ns before the run's", patched(record, start_at, little_endian(-(1LL << 62))),
         wire::get_record},
        {"a step started early", patched(record, -8 - tail, little_endian(-1)),
         wire::get_record},
    };
    for (const auto& c : cases) {
        wire::reader in(c.bytes);
        EXPECT_THROW(c.decode(in), std::runtime_error) << c.name;
    }

    wire::writer lockstep, tests, model;
    lockstep.text("").u8(2).u64(0);
    tests.text("").u8(0).u64(std::uint64_t{1} << 60);  // but none follows
    model.u32(1).text("n").text("Linux").text("6.1").text("x86_64").u8(0).text("EPYC");
    model.u32(2).u32(1).text("127.0.0.1:6379");
    for (const std::string& plan : {lockstep.take(), tests.take()}) {
        wire::reader in(plan);
        EXPECT_THROW(wire::get_plan(in), std::runtime_error);
    }
    const std::string facts = model.take();
    wire::reader in(facts);
    EXPECT_THROW(wire::get_rank_facts(in), std::runtime_error) << "a model sent as unknown";
}

// A record's intervals come after everything else: their length, the
// first's index and their number, then each one's figures and buckets; an
// empty interval between two others is sent as well.
TEST(Wire, ARecordsIntervalsComeBackWholeAndMalformedOnesAreRefused)
{
    bench::result_record sent = sample_record(true, true);
    bench::interval_series& series = sent.intervals.emplace();
    series.length_ns = 500000000;
    series.first = 3;
    series.intervals.resize(3);
    bench::interval_figures& first = series.intervals[0];
    first = {5, 50, 0, 700, 1LL << 40, {}};
    first.buckets = {bench::interval_figures::pack(-1, 1), bench::interval_figures::pack(7, 3),
                     bench::interval_figures::pack(bench::latency_histogram::last_index, 1)};
    series.intervals[2] = {1, 8, 1, 900, 900, {bench::interval_figures::pack(300, 1)}};
    const std::string bytes = encoded(sent);
    EXPECT_EQ(bytes.size(), encoded(sample_record(true, true)).size() + 24 + 3 * 44 + 4 * 12);

    wire::reader in(bytes);
    const bench::result_record got = wire::get_record(in);
    in.finish();
    EXPECT_EQ(encoded(got), bytes);
    ASSERT_TRUE(got.intervals);
    EXPECT_EQ(got.intervals->first, 3u);
    ASSERT_EQ(got.intervals->intervals.size(), 3u);
    EXPECT_EQ(got.intervals->intervals[0].buckets, first.buckets);
    EXPECT_EQ(got.intervals->intervals[0].max_ns, 1LL << 40);
    EXPECT_TRUE(got.intervals->intervals[1].empty());
    EXPECT_EQ(got.intervals->intervals[2].failures, 1u);

    // The last interval's bucket an empty one, its index before the ones
    // of its interval's (as the second bucket of the first), an interval
    // shorter than --interval takes, and more intervals than the message holds.
    const auto length_at = static_cast<std::ptrdiff_t>(bytes.size()) - (24 + 3 * 44 + 4 * 12);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"an empty bucket", patched(bytes, -8, std::string(8, '\0'))},
        {"buckets out of order", patched(bytes, length_at + 24 + 44 + 12, little_endian(-1))},
        {"a 1 ms interval", patched(bytes, length_at, little_endian(1000000))},
        {"intervals beyond the message", patched(bytes, length_at + 16, little_endian(4))},
    };
    for (const auto& c : cases) {
        wire::reader bad(c.bytes);
        EXPECT_THROW(wire::get_record(bad), std::runtime_error) << c.name;
    }
}

}  // namespace
