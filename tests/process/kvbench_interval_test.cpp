// The kvbench executable with --interval: a store that stalls once shows the
// stall in one interval of the JSON report and in no other.

#include <support/fake_server.hpp>
#include <support/process.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

TEST(kvbench_interval, a_stall_shows_in_its_interval_only_and_the_intervals_hold_every_step) {
    // Every SET answered after 1 ms; the first one 2 s after the first
    // request after 500 ms.
    std::optional<std::chrono::steady_clock::time_point> first;
    bool stalled = false;
    kvtest::fake_server store([&](kvtest::fake_connection& connection) {
        kvtest::serve_resp(connection, [&](const std::string&, std::size_t) {
            const auto now = std::chrono::steady_clock::now();
            if (!first) first = now;
            if (!stalled && now - *first >= 2s) {
                stalled = true;
                connection.stall(500ms);
            } else {
                connection.stall(1ms);
            }
        });
    });
    kvtest::temp_dir dir;
    dir.write("suite.cfg", "tests\n{\n    multiple_put { size 8 count 2500 }\n}\n");
    const kvtest::process_result run = kvtest::run_process(
        kvtest::kvbench_path(),
        {"--protocol", "redis", "--daemon", "127.0.0.1:" + std::to_string(store.port()), "-f",
         "suite.cfg", "-o", "run.csv", "--json", "run.json", "--interval", "0.5"},
        dir.path(), 120s);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const json report = json::parse(dir.read("run.json"));
    EXPECT_EQ(report["settings"]["interval_s"], 0.5);
    const json& result = report["results"][0];
    const json& intervals = result["intervals"];
    ASSERT_GE(intervals.size(), 6u) << intervals;

    std::uint64_t steps = 0;
    int stalls = 0;
    double stall_start_ms = 0;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        const json& interval = intervals[i];
        SCOPED_TRACE(interval.dump());
        steps += interval["steps"].get<std::uint64_t>();
        EXPECT_EQ(interval["start_ms"].get<double>(),
                  intervals[0]["start_ms"].get<double>() + 500.0 * static_cast<double>(i));
        EXPECT_EQ(interval["failures"], 0);
        if (interval["steps"] == 0) continue;
        EXPECT_GT(interval["steps_per_s"].get<double>(), 0.0);
        if (interval["percentiles_ms"]["p100"].get<double>() >= 500.0) {
            ++stalls;
            stall_start_ms = interval["start_ms"].get<double>();
        } else {
            EXPECT_LT(interval["percentiles_ms"]["p100"].get<double>(), 250.0);
        }
    }
    EXPECT_EQ(steps, result["iterations"].get<std::uint64_t>());
    EXPECT_EQ(stalls, 1);
    // The stalled step ended about 2.5 s after the first step started.
    EXPECT_GE(stall_start_ms, result["start_ms"].get<double>() + 1500.0);
    EXPECT_LE(stall_start_ms, result["start_ms"].get<double>() + 3500.0);
    EXPECT_EQ(report["aggregates"][0]["intervals"].size(), intervals.size());
}

TEST(kvbench_interval, without_the_option_no_result_or_aggregate_has_intervals) {
    kvtest::temp_dir dir;
    dir.write("suite.cfg", "tests\n{\n    multiple_put { size 8 count 100 }\n}\n");
    const kvtest::process_result run = kvtest::run_process(
        kvtest::kvbench_path(),
        {"--protocol", "local", "--threads", "2", "-f", "suite.cfg", "-o", "run.csv", "--json",
         "run.json"},
        dir.path(), 60s);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const json report = json::parse(dir.read("run.json"));
    EXPECT_TRUE(report["settings"]["interval_s"].is_null());
    for (const char* part : {"results", "aggregates"})
        for (const json& each : report[part]) EXPECT_FALSE(each.contains("intervals")) << part;
}

}  // namespace
