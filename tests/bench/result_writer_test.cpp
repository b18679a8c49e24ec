// The result writer: what it holds for a suite before any result, and the
// order of its aggregates whatever the order of the results.

#include <bench/report/result_writer.hpp>

#include "allocation_meter.hpp"

#include <support/process.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bench::run_settings settings_in(const kvtest::temp_dir& dir, bool json) {
    bench::run_settings settings;
    settings.threads = 1;
    settings.report_file = dir.path() + "/report.csv";
    settings.percentiles = true;
    if (json) settings.json_file = dir.path() + "/report.json";
    return settings;
}

bench::result_record result_of(std::size_t test) {
    bench::test_result result;
    result.success = true;
    result.description = "test " + std::to_string(test);
    return bench::make_record(std::move(result), test);
}

// A test costs the writer next to nothing until a result of it arrives, and
// nothing after when no aggregate is asked for.
TEST(ResultWriter, HoldsLittleForTestsThatHaveNotRun) {
    const std::vector<bench::test_spec> tests(10000, bench::multiple_put{1, 1});
    for (const bool percentiles : {true, false}) {
        SCOPED_TRACE(percentiles ? "with --percentiles" : "without");
        kvtest::temp_dir dir;
        bench::run_settings settings = settings_in(dir, false);
        settings.percentiles = percentiles;
        std::ostream nowhere(nullptr);
        const kvtest::allocation_meter meter;
        bench::result_writer writer(settings, tests, bench::run_facts{}, nowhere, nowhere);
        writer.begin();
        EXPECT_LE(meter.held(), tests.size() * 64) << meter.held() / tests.size() << " bytes a test";
        if (percentiles) continue;
        for (std::size_t test = 0; test < tests.size(); ++test) writer.take(result_of(test));
        EXPECT_LE(meter.held(), tests.size() * 64) << meter.held() / tests.size() << " bytes a test";
    }
}

// Results come in any order; the aggregates follow the suite's: on the
// console those of the tests that ran, in the JSON report every test's.
TEST(ResultWriter, WritesTheAggregatesInSuiteOrder) {
    kvtest::temp_dir dir;
    const bench::run_settings settings = settings_in(dir, true);
    const std::vector<bench::test_spec> tests = {
        bench::multiple_put{1, 1}, bench::multiple_put{2, 1}, bench::multiple_put{3, 1}};
    std::ostringstream out, err;
    {
        bench::result_writer writer(settings, tests, bench::run_facts{}, out, err);
        writer.begin();
        for (const std::size_t test : {2, 0, 2}) writer.take(result_of(test));
        ASSERT_TRUE(writer.close());
        out.str("");
        ASSERT_TRUE(writer.finish(bench::run_ending{}));
    }
    const std::string console = out.str();
    const auto first = console.find("aggregate of test putting 1 entries of 1.0 B over 1 thread\n");
    const auto third = console.find("aggregate of test putting 1 entries of 3.0 B over 2 threads\n");
    EXPECT_NE(first, std::string::npos) << console;
    EXPECT_LT(first, third) << console;
    EXPECT_EQ(console.find("2.0 B over"), std::string::npos) << console;

    std::ifstream file(settings.json_file);
    const nlohmann::json report = nlohmann::json::parse(file);
    const nlohmann::json& aggregates = report.at("aggregates");
    ASSERT_EQ(aggregates.size(), 3u);
    const int threads[] = {1, 0, 2};
    for (std::size_t test = 0; test < 3; ++test) {
        EXPECT_EQ(aggregates[test].at("test"), test);
        EXPECT_EQ(aggregates[test].at("threads"), threads[test]);
    }
    EXPECT_EQ(aggregates[1].at("histogram").at("counts"), nlohmann::json::array());
}

}  // namespace
