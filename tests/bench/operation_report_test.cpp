// The figures per operation type of mix tests on the console and in the
// JSON report, as the result writer hands them out.
#include <bench/report/console.hpp>
#include <bench/report/result_writer.hpp>

#include <support/process.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using bench::operation;
using std::chrono::nanoseconds;

const std::chrono::steady_clock::time_point run_start{};

// A mix result on `thread` whose steps are a get of 1 ms (a hit), a put of
// 2 ms, a get of 3 ms (a miss) and a read_modify_write of 500 ns (a miss);
// it used no update and no remove.
bench::result_record mix_record(std::uint32_t thread, bool success = true)
{
    bench::test_result result;
    result.success = success;
    result.thread_number = thread;
    result.description = "a mix";
    const std::pair<operation, std::int64_t> steps[] = {{operation::get, 1000000},
                                                        {operation::put, 2000000},
                                                        {operation::get, 3000000},
                                                        {operation::read_modify_write, 500}};
    auto at = run_start;
    for (const auto& [op, ns] : steps) {
        bench::record_step(result, 100, at, at + nanoseconds(ns));
        at += nanoseconds(ns);
        auto& figures = result.operations[static_cast<std::size_t>(op)];
        if (!figures) figures.emplace();
        ++figures->steps;
        figures->latency.record(ns);
        figures->min_ms = std::min(figures->min_ms, static_cast<double>(ns) / 1e6);
        figures->max_ms = std::max(figures->max_ms, static_cast<double>(ns) / 1e6);
    }
    result.operations[static_cast<std::size_t>(operation::get)]->hits = 1;
    result.operations[static_cast<std::size_t>(operation::get)]->misses = 1;
    result.operations[static_cast<std::size_t>(operation::read_modify_write)]->misses = 1;
    return bench::make_record(std::move(result), 0, run_start);
}

// A result of another kind, for the second test.
bench::result_record plain_record()
{
    bench::test_result result;
    result.success = true;
    result.description = "putting 64.0 B";
    bench::record_step(result, 64, run_start, run_start + nanoseconds(1000));
    return bench::make_record(std::move(result), 1, run_start);
}

struct written {
    std::string console;
    nlohmann::ordered_json report;
};

// Two threads of the mix test, a third that failed, and one result of the
// plain test, through a result writer with or without --percentiles.
written write_run(bool percentiles)
{
    kvtest::temp_dir dir;
    bench::run_settings settings;
    settings.report_file = dir.path() + "/run.csv";
    settings.json_file = dir.path() + "/run.json";
    settings.percentiles = percentiles;
    const std::vector<bench::test_spec> tests = {bench::make_test_spec(0, 100, 4),
                                                 bench::make_test_spec(1, 64, 1)};
    std::ostringstream out, err;
    {
        bench::result_writer writer(settings, tests, {}, out, err);
        writer.begin();
        for (const bench::result_record& record :
             {mix_record(0), mix_record(1), mix_record(2, false), plain_record()})
            writer.take(record);
        EXPECT_TRUE(writer.close());
        EXPECT_TRUE(writer.finish({}));
    }
    EXPECT_EQ(err.str(), "");
    return {out.str(), nlohmann::ordered_json::parse(dir.read("run.json"))};
}

// The block that starts with `heading`: up to the empty line that ends it.
std::string block(const std::string& text, const std::string& heading)
{
    const std::size_t begin = text.find(heading);
    if (begin == std::string::npos) return "(no block " + heading + ")";
    const std::size_t end = text.find("\n\n", begin);
    return text.substr(begin, end == std::string::npos ? end : end + 1 - begin);
}

// Whether `lines` come right after the latency percentiles line of `text`
// and right before its throughput line.
testing::AssertionResult under_the_latency_line(const std::string& text,
                                                const std::string& lines)
{
    const std::size_t latency = text.find("    latency percentiles = ");
    const std::size_t after = text.find('\n', latency) + 1;
    if (latency == std::string::npos ||
        text.compare(after, lines.size(), lines) != 0 ||
        text.compare(after + lines.size(), 26, "             throughput = ") != 0)
        return testing::AssertionFailure() << "not under the latency line:\n" << text;
    return testing::AssertionSuccess();
}

TEST(OperationReport, ConsoleShowsAMixTestsOperationsOnlyWithPercentiles)
{
    // The get's p50 is the upper edge of the bucket of 1 ms; the rest is
    // clamped into each operation's own max.
    const std::string result_lines =
        "    get: 2 steps, 1 hits, 1 misses, p50 1.00352 ms, p90 3 ms, p99 3 ms, p99.9 3 ms, "
        "p99.99 3 ms\n"
        "    put: 1 steps, p50 2 ms, p90 2 ms, p99 2 ms, p99.9 2 ms, p99.99 2 ms\n"
        "    read_modify_write: 1 steps, 0 hits, 1 misses, p50 0.0005 ms, p90 0.0005 ms, "
        "p99 0.0005 ms, p99.9 0.0005 ms, p99.99 0.0005 ms\n";
    const std::string aggregate_lines =
        "    get: 4 steps, 2 hits, 2 misses, p50 1.00352 ms, p90 3 ms, p99 3 ms, p99.9 3 ms, "
        "p99.99 3 ms\n"
        "    put: 2 steps, p50 2 ms, p90 2 ms, p99 2 ms, p99.9 2 ms, p99.99 2 ms\n"
        "    read_modify_write: 2 steps, 0 hits, 2 misses, p50 0.0005 ms, p90 0.0005 ms, "
        "p99 0.0005 ms, p99.9 0.0005 ms, p99.99 0.0005 ms\n";

    const std::string console = write_run(true).console;
    EXPECT_TRUE(under_the_latency_line(block(console, "test a mix done on thread #0"),
                                       result_lines));
    EXPECT_TRUE(under_the_latency_line(block(console, "aggregate of test"), aggregate_lines));
    // None for the plain test, nor for the failed thread.
    EXPECT_EQ(block(console, "test a mix done on thread #2"),
              "test a mix done on thread #2\nprocessed 400.0 B (4 iterations)\n"
              " ### test in error \n");
    for (const std::string& plain :
         {block(console, "test putting 64.0 B"), console.substr(console.rfind("aggregate of"))}) {
        EXPECT_NE(plain.find("    latency percentiles = "), std::string::npos) << plain;
        EXPECT_EQ(plain.find(" steps, "), std::string::npos) << plain;
    }

    // Without --percentiles the blocks are what they always were.
    std::ostringstream blocks;
    for (const bench::result_record& record :
         {mix_record(0), mix_record(1), mix_record(2, false), plain_record()})
        blocks << record;
    EXPECT_EQ(write_run(false).console, blocks.str());
}

TEST(OperationReport, JsonHasTheOperationsOfMixResultsAndAggregatesOnly)
{
    const nlohmann::ordered_json report = write_run(false).report;
    const nlohmann::ordered_json& results = report["results"];
    const nlohmann::ordered_json& aggregates = report["aggregates"];
    ASSERT_EQ(results.size(), 4u);
    ASSERT_EQ(aggregates.size(), 2u);

    // As many steps of each operation as the console shows; hits and
    // misses but for a put; the percentiles in the shape of the result's.
    struct expected_operation {
        const char* name;
        std::uint64_t steps;
        std::int64_t hits, misses;  // -1: not written
        double p50, p100;
    };
    const std::vector<expected_operation> per_thread = {
        {"get", 2, 1, 1, 1.003519, 3}, {"put", 1, -1, -1, 2, 2},
        {"read_modify_write", 1, 0, 1, 0.0005, 0.0005}};
    const auto check = [](const nlohmann::ordered_json& operations,
                          const std::vector<expected_operation>& expected, std::uint64_t times,
                          bool figures) {
        ASSERT_TRUE(operations.is_object()) << operations;
        std::vector<std::string> names;
        for (const auto& [name, value] : operations.items()) names.push_back(name);
        ASSERT_EQ(names, (std::vector<std::string>{"get", "put", "read_modify_write"}));
        for (const expected_operation& want : expected) {
            SCOPED_TRACE(want.name);
            const nlohmann::ordered_json& got = operations[want.name];
            std::vector<std::string> keys;
            for (const auto& [key, value] : got.items()) keys.push_back(key);
            if (want.hits < 0) {
                EXPECT_EQ(keys, (std::vector<std::string>{"steps", "percentiles_ms"}));
            } else {
                EXPECT_EQ(keys, (std::vector<std::string>{"steps", "hits", "misses",
                                                          "percentiles_ms"}));
                EXPECT_EQ(got["hits"], want.hits * static_cast<std::int64_t>(times));
                EXPECT_EQ(got["misses"], want.misses * static_cast<std::int64_t>(times));
            }
            EXPECT_EQ(got["steps"], want.steps * times);
            const nlohmann::ordered_json& percentiles = got["percentiles_ms"];
            ASSERT_EQ(percentiles.size(), 6u);
            for (const char* p : {"p50", "p90", "p99", "p99.9", "p99.99", "p100"})
                EXPECT_EQ(percentiles[p].is_null(), !figures) << p;
            if (figures) {
                EXPECT_DOUBLE_EQ(percentiles["p50"].get<double>(), want.p50);
                EXPECT_DOUBLE_EQ(percentiles["p100"].get<double>(), want.p100);
            }
        }
    };
    check(results[0]["operations"], per_thread, 1, true);
    check(results[1]["operations"], per_thread, 1, true);
    // A failed thread has its counts and no percentiles, as its own figures.
    check(results[2]["operations"], per_thread, 1, false);
    check(aggregates[0]["operations"], per_thread, 2, true);
    EXPECT_FALSE(results[3].contains("operations"));
    EXPECT_FALSE(aggregates[1].contains("operations"));
}

}  // namespace

namespace {

// A plain result of test `test` on `thread`, with the redirections its
// client counted, if any.
bench::result_record redirected_record(std::size_t test, std::uint32_t thread, bool success,
                                       std::optional<bench::redirection_counts> redirections)
{
    bench::test_result result;
    result.success = success;
    result.thread_number = thread;
    result.description = "putting 64.0 B";
    bench::record_step(result, 64, run_start, run_start + nanoseconds(1000));
    result.redirections = redirections;
    return bench::make_record(std::move(result), test, run_start);
}

TEST(OperationReport, JsonHasRedirectionsWhereTheClientCountedThem)
{
    kvtest::temp_dir dir;
    bench::run_settings settings;
    settings.report_file = dir.path() + "/run.csv";
    settings.json_file = dir.path() + "/run.json";
    const std::vector<bench::test_spec> tests = {bench::make_test_spec(1, 64, 1),
                                                 bench::make_test_spec(1, 64, 1)};
    std::ostringstream out, err;
    {
        bench::result_writer writer(settings, tests, {}, out, err);
        writer.begin();
        // A failed thread's redirections count in its aggregate too.
        for (const bench::result_record& record :
             {redirected_record(0, 0, true, bench::redirection_counts{3, 1}),
              redirected_record(0, 1, false, bench::redirection_counts{1, 4}),
              redirected_record(1, 0, true, std::nullopt)})
            writer.take(record);
        EXPECT_TRUE(writer.close());
        EXPECT_TRUE(writer.finish({}));
    }
    const auto report = nlohmann::ordered_json::parse(dir.read("run.json"));
    const nlohmann::ordered_json& results = report["results"];
    const nlohmann::ordered_json& aggregates = report["aggregates"];
    ASSERT_EQ(results.size(), 3u);
    ASSERT_EQ(aggregates.size(), 2u);
    EXPECT_EQ(results[0]["redirections"], (nlohmann::ordered_json{{"moved", 3}, {"ask", 1}}));
    EXPECT_EQ(results[1]["redirections"], (nlohmann::ordered_json{{"moved", 1}, {"ask", 4}}));
    EXPECT_FALSE(results[2].contains("redirections"));
    EXPECT_EQ(aggregates[0]["redirections"], (nlohmann::ordered_json{{"moved", 4}, {"ask", 5}}));
    EXPECT_FALSE(aggregates[1].contains("redirections"));
}

}  // namespace
