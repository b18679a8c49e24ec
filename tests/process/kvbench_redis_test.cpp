// The kvbench executable with --protocol redis, against a real redis-server,
// a port where nothing listens and a fake server that drops its clients; and
// the JSON report and percentile lines of a run against the real server; and
// a stop while the clients (redis and nox) connect.

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/redis_cluster.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Every kind once; multiple_put_remain leaves its 40 entries in the store.
const char* const suite = R"(tests
{
    single_put_multiple_get
    {
        size 100
        count 20
    }
    multiple_put
    {
        size 64
        count 50
    }
    multiple_put_remain
    {
        size 32
        count 40
    }
    multiple_put_get_delete
    {
        size 1024
        count 30
    }
    multiple_put_get_update_delete
    {
        size 10
        count 30
    }
}
)";
constexpr int suite_tests = 5;
constexpr int remaining_per_thread = 40;

using kvtest::count_of;

kvtest::process_result run_kvbench(const kvtest::temp_dir& dir, const std::string& daemon,
                                   int threads) {
    return kvtest::run_process(kvtest::kvbench_path(),
                               {"--protocol", "redis", "--daemon", daemon, "--threads",
                                std::to_string(threads), "-f", dir.write("suite.cfg", suite),
                                "-o", dir.path() + "/report.csv"},
                               dir.path(), 60s);
}

class KvbenchRedisTest : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<kvtest::server_process>(kvtest::server_process::redis());
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { server->ask("FLUSHALL\r\n", "\r\n"); }

    static std::unique_ptr<kvtest::server_process> server;
};

std::unique_ptr<kvtest::server_process> KvbenchRedisTest::server;

TEST_P(KvbenchRedisTest, RunsTheWholeSuiteOnEveryThread) {
    const int threads = GetParam();
    kvtest::temp_dir dir;
    const auto result = run_kvbench(dir, server->endpoint(), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_EQ(count_of(result.out, " done on thread #"), std::size_t(threads * suite_tests));
    EXPECT_EQ(count_of(result.out, "### test in error"), 0u) << result.out;

    const std::string report = dir.read("report.csv");
    EXPECT_EQ(count_of(report, "\r\n"), std::size_t(1 + threads * suite_tests)) << report;
    EXPECT_EQ(server->ask("DBSIZE\r\n", "\r\n"),
              ":" + std::to_string(threads * remaining_per_thread) + "\r\n");
}

TEST_P(KvbenchRedisTest, ClosedPortEndsTheRunWithTheConnectError) {
    kvtest::temp_dir dir;
    const std::string daemon = "127.0.0.1:" + std::to_string(kvtest::closed_port());
    const auto result = run_kvbench(dir, daemon, GetParam());
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find("Error in benchmark: Cannot connect to redis server " + daemon +
                              ": Connection refused\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(count_of(result.out, " done on thread #"), 0u);
}

TEST_P(KvbenchRedisTest, ServerDroppingItsClientsFailsTheTestsNotTheProcess) {
    // What redis does at its client limit: an error line, then it closes.
    // The next command goes into a reset connection, which must fail the
    // test rather than end kvbench with SIGPIPE.
    const int threads = GetParam();
    kvtest::fake_server fake([](kvtest::fake_connection& connection) {
        connection.send("-ERR max number of clients reached\r\n");
    });
    kvtest::temp_dir dir;
    const auto result = run_kvbench(dir, "127.0.0.1:" + std::to_string(fake.port()), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(count_of(result.err, "test failed: "), std::size_t(threads * suite_tests))
        << result.err;
    EXPECT_EQ(count_of(result.out, "### test in error"), std::size_t(threads * suite_tests));
}

TEST(KvbenchStopWhileConnecting, EndsTheRunAsAStopAtOnce) {
    // The clients' connects hang until their 10 s limit; a stop must not
    // wait for them, nor be taken for a failed connect.
    const kvtest::unanswering_listener listener;
    const std::string daemon = "127.0.0.1:" + std::to_string(listener.port());
    const std::pair<const char*, int> cases[] = {{"redis", 1}, {"redis", 4}, {"nox", 1}, {"nox", 4}};
    for (const auto& [protocol, threads] : cases) {
        SCOPED_TRACE(std::string(protocol) + " on " + std::to_string(threads) + " threads");
        kvtest::temp_dir dir;
        auto signalled = std::chrono::steady_clock::time_point::max();
        const auto connecting = [&signalled](const kvtest::process_result& so_far) {
            if (so_far.out.find("\nrunning ") == std::string::npos) return false;
            std::this_thread::sleep_for(300ms);
            signalled = std::chrono::steady_clock::now();
            return true;
        };
        const auto run = kvtest::run_process(
            kvtest::kvbench_path(),
            {"--protocol", protocol, "--daemon", daemon, "--threads", std::to_string(threads),
             "-f", dir.write("suite.cfg", suite), "-o", "report.csv", "--json", "run.json"},
            dir.path(), 60s, {{SIGINT, connecting}});
        const auto took = std::chrono::steady_clock::now() - signalled;
        ASSERT_FALSE(run.timed_out);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_status, 128 + SIGINT) << run.err;
        EXPECT_EQ(run.err.find("Error in benchmark"), std::string::npos) << run.err;
        EXPECT_LT(took, 2s);
        EXPECT_EQ(dir.read("report.csv").find("\r\n"), dir.read("report.csv").size() - 2)
            << "the header alone";
        EXPECT_EQ(nlohmann::json::parse(dir.read("run.json"))["interrupted"], "SIGINT");
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, KvbenchRedisTest, ::testing::Values(1, 3),
                         [](const auto& threads) { return std::to_string(threads.param) + "_threads"; });

// The suite above, a test that fails at once (no list can reserve its
// count) and one with no steps.
const std::string json_suite = std::string(suite).substr(0, std::string(suite).rfind('}')) + R"(
    multiple_put { size 1 count 4611686018427387904 }
    multiple_put_get_delete { size 8 count 0 }
}
)";
constexpr int json_tests = suite_tests + 2;
constexpr int failing_test = suite_tests;
constexpr int empty_test = suite_tests + 1;

class KvbenchRedisJsonTest : public KvbenchRedisTest {};

// The report's rows by thread and description: the mean time column.
std::map<std::pair<int, std::string>, std::string> mean_times(const std::string& report) {
    std::map<std::pair<int, std::string>, std::string> means;
    std::istringstream lines(report);
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ';');) fields.push_back(field);
        if (fields.size() == 11) means[{std::stoi(fields[0]), fields[1]}] = fields[4];
    }
    return means;
}

TEST_P(KvbenchRedisJsonTest, JsonReportHoldsTheRunItsResultsAndTheirAggregates) {
    using json = nlohmann::json;
    const int threads = GetParam();
    kvtest::temp_dir dir;
    const auto run = kvtest::run_process(
        kvtest::kvbench_path(),
        {"--protocol", "redis", "--daemon", server->endpoint(), "--threads",
         std::to_string(threads), "-f", dir.write("suite.cfg", json_suite), "-o", "report.csv",
         "-j", "run.json", "-p"},
        dir.path(), 60s);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const json report = json::parse(dir.read("run.json"));

    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    EXPECT_TRUE(report["kvbench"]["version"].is_string());
    EXPECT_EQ(report["command_line"][0], kvtest::kvbench_path());
    EXPECT_EQ(report["command_line"].size(), 14u);
    for (const char* when : {"started_at", "finished_at"})
        EXPECT_TRUE(std::regex_match(report[when].get<std::string>(), utc)) << report[when];
    const json& host = report["host"];
    for (const char* field : {"name", "os", "release", "machine"})
        EXPECT_TRUE(host[field].is_string()) << field;
    EXPECT_TRUE(host["cpu_model"].is_string() || host["cpu_model"].is_null());
    EXPECT_GE(host["logical_cpus"].get<int>(), 1);
    EXPECT_EQ(report["settings"],
              json::parse(R"({"protocol": "redis", "daemon": ")" + server->endpoint() +
                          R"(", "servers": [")" + server->endpoint() +
                          R"("], "cluster": false, "threads": )" + std::to_string(threads) +
                          R"(, "test_file": ")" + dir.path() + R"(/suite.cfg", "report_file":
                          "report.csv", "lockstep": false, "json_file": "run.json",
                          "percentiles": true, "strict": false, "rate": null,
                          "connections": 1, "pipeline": 1, "interval_s": null})"));
    ASSERT_EQ(report["tests"].size(), std::size_t(json_tests));
    EXPECT_EQ(report["tests"][1],
              json::parse(R"({"index": 1, "kind": "multiple_put", "size": 64, "count": 50,
                              "description": "putting 50 entries of 64.0 B"})"));

    // Every result, its figures as the report row has them.
    const auto means = mean_times(dir.read("report.csv"));
    ASSERT_EQ(report["results"].size(), std::size_t(threads * json_tests));
    std::map<int, int> per_test;
    for (const json& result : report["results"]) {
        const int test = result["test"];
        ++per_test[test];
        const json& listed = report["tests"][test];
        SCOPED_TRACE(listed["description"].get<std::string>());
        EXPECT_LT(result["thread"].get<int>(), threads);
        EXPECT_EQ(result["success"], test != failing_test);
        EXPECT_TRUE(result["bytes"].is_number_unsigned());
        EXPECT_TRUE(result["span_ms"].is_number());
        // Closed loop: no service times, no requested rate, no lateness.
        for (const char* part : {"service_percentiles_ms", "start_lateness_percentiles_ms",
                                 "service_histogram", "start_lateness_histogram"})
            EXPECT_TRUE(result[part].is_null()) << part;
        EXPECT_TRUE(result["rate"]["requested"].is_null());
        EXPECT_TRUE(result["rate"]["mean_start_lateness_ms"].is_null());
        EXPECT_EQ(result["rate"]["achieved"].is_number(),
                  test != failing_test && test != empty_test);
        if (test == failing_test) {
            EXPECT_TRUE(result["error"].is_string());
            EXPECT_TRUE(result["start_ms"].is_null());
            for (const char* part : {"figures", "throughput", "percentiles_ms"}) {
                EXPECT_FALSE(result[part].empty()) << part;
                for (const auto& [name, value] : result[part].items())
                    EXPECT_TRUE(value.is_null()) << part << "." << name;
            }
            EXPECT_TRUE(result["histogram"].is_null());
            continue;
        }
        EXPECT_TRUE(result["error"].is_null());
        EXPECT_EQ(result["iterations"], listed["count"]);
        std::uint64_t histogram_steps = 0;
        for (const auto& bucket : result["histogram"]["counts"])
            histogram_steps += bucket.get<std::uint64_t>();
        EXPECT_EQ(histogram_steps, result["iterations"]);
        const json& figures = result["figures"];
        EXPECT_EQ(figures.size(), 10u);
        for (const auto& [name, value] : figures.items())
            EXPECT_TRUE(value.is_number() || value.is_null()) << name;
        const std::string& mean = means.at({result["thread"], listed["description"]});
        if (test == empty_test) {
            EXPECT_TRUE(result["start_ms"].is_null());
            EXPECT_TRUE(figures["mean_ms"].is_null()) << "NaN is written as null";
            EXPECT_EQ(mean, "nan");
            continue;
        }
        EXPECT_NEAR(figures["mean_ms"].get<double>(), std::stod(mean), std::stod(mean) * 1e-5);
        EXPECT_GE(result["start_ms"].get<double>(), 0);
        EXPECT_GT(result["throughput"]["steps_per_s"].get<double>(), 0);
        EXPECT_GT(result["throughput"]["bytes_per_s"].get<double>(), 0);
        double previous = 0;
        for (const char* name : {"p50", "p90", "p99", "p99.9", "p99.99", "p100"}) {
            const double value = result["percentiles_ms"][name];
            EXPECT_GE(value, previous) << name;
            previous = value;
        }
        EXPECT_EQ(previous, figures["max_ms"].get<double>());
    }
    for (int test = 0; test < json_tests; ++test) EXPECT_EQ(per_test[test], threads);

    ASSERT_EQ(report["aggregates"].size(), std::size_t(json_tests));
    for (int test = 0; test < json_tests; ++test) {
        const json& aggregate = report["aggregates"][test];
        SCOPED_TRACE(test);
        EXPECT_EQ(aggregate["test"], test);
        EXPECT_EQ(aggregate["threads"], threads);
        EXPECT_EQ(aggregate["failed_threads"], test == failing_test ? threads : 0);
        for (const char* part : {"service_percentiles_ms", "start_lateness_percentiles_ms",
                                 "service_histogram", "start_lateness_histogram"})
            EXPECT_TRUE(aggregate[part].is_null()) << part;
        EXPECT_TRUE(aggregate["rate"]["requested"].is_null());
        const std::uint64_t count = report["tests"][test]["count"];
        const std::uint64_t steps = test == failing_test ? 0 : count * threads;
        EXPECT_EQ(aggregate["iterations"], steps);
        const json& histogram = aggregate["histogram"];
        std::uint64_t counted = 0;
        for (const auto& bucket : histogram["counts"]) counted += bucket.get<std::uint64_t>();
        EXPECT_EQ(counted, steps);
        EXPECT_EQ(histogram["lower_ms"].size(), histogram["counts"].size());
        EXPECT_EQ(histogram["upper_ms"].size(), histogram["counts"].size());
        if (steps == 0) {
            EXPECT_TRUE(aggregate["mean_ms"].is_null());
            continue;
        }
        for (const char* name : {"span_ms", "mean_ms", "standard_deviation_ms", "min_ms", "max_ms"})
            EXPECT_TRUE(aggregate[name].is_number()) << name;
        EXPECT_GT(aggregate["throughput"]["steps_per_s"].get<double>(), 0);
        EXPECT_EQ(aggregate["percentiles_ms"]["p100"], aggregate["max_ms"]);
    }
    EXPECT_TRUE(report["interrupted"].is_null());
    EXPECT_EQ(report["errors"], json::array());

    // On the console: two more lines after each successful block, and one
    // aggregate block per test after the last result, with the same two lines
    // or, for the test that failed on every thread, a line that says so.
    const std::size_t successful = std::size_t(threads * (json_tests - 1));
    EXPECT_EQ(count_of(run.out, "\n    latency percentiles = p50 "), successful + json_tests - 1);
    EXPECT_EQ(count_of(run.out, "\n             throughput = "), successful + json_tests - 1);
    EXPECT_EQ(count_of(run.out, " failed\n    no thread succeeded\n"), 1u);
    const std::size_t first_aggregate = run.out.find("\naggregate of test ");
    EXPECT_EQ(count_of(run.out.substr(first_aggregate), "\naggregate of test "),
              std::size_t(json_tests));
    EXPECT_EQ(run.out.find(" done on thread #", first_aggregate), std::string::npos);
    if (threads > 1) {
        EXPECT_LT(run.out.find("All done! Total elapsed time: "), first_aggregate);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, KvbenchRedisJsonTest, ::testing::Values(1, 4),
                         [](const auto& threads) {
                             return std::to_string(threads.param) + "_threads";
                         });

// Four threads over a three-master Redis Cluster: every key goes to its
// slot's master, none is redirected, and every master holds a share.
TEST(kvbench_redis_cluster, four_threads_leave_keys_on_every_master) {
    const kvtest::redis_cluster cluster(3);
    const kvtest::temp_dir dir;
    std::string daemons;
    for (std::size_t node = 0; node < cluster.size(); ++node)
        daemons += (node == 0 ? "" : ",") + cluster.endpoint(node);
    const auto result = kvtest::run_process(
        kvtest::kvbench_path(),
        {"--protocol", "redis", "--cluster", "--daemon", daemons, "--threads", "4", "-f",
         dir.write("suite.cfg", "tests\n{\n    multiple_put_remain\n    {\n        size 16\n"
                                "        count 300\n    }\n}\n"),
         "-o", "report.csv", "-j", "run.json"},
        dir.path(), 60s);
    ASSERT_FALSE(result.timed_out);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("cluster of 3 masters\n"), std::string::npos) << result.out;
    long long stored = 0;
    for (std::size_t node = 0; node < cluster.size(); ++node) {
        EXPECT_GT(cluster.dbsize(node), 0) << cluster.endpoint(node);
        stored += cluster.dbsize(node);
    }
    EXPECT_EQ(stored, 4 * 300);
    using json = nlohmann::json;
    const auto report = json::parse(dir.read("run.json"));
    EXPECT_EQ(report["settings"]["cluster"], true);
    ASSERT_EQ(report["results"].size(), 4u);
    for (const auto& each : report["results"])
        EXPECT_EQ(each["redirections"], json::parse(R"({"moved": 0, "ask": 0})"));
}

}  // namespace
