// The kvbench executable with --protocol memcached, against a real memcached,
// a port where nothing listens, a server that drops its clients, and a pool
// of three servers named by a --daemon list.

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Every kind once; multiple_put_remain leaves its 40 entries in the store.
// The values hold no line ends, but 1000 bytes span several reads.
const char* const suite = R"(tests
{
    single_put_multiple_get
    {
        size 1000
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
        size 100000
        count 10
    }
    multiple_put_get_update_delete
    {
        size 0
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
                               {"--protocol", "memcached", "--daemon", daemon, "--threads",
                                std::to_string(threads), "-f", dir.write("suite.cfg", suite),
                                "-o", dir.path() + "/report.csv"},
                               dir.path(), 60s);
}

// The value of one "STAT name value" line of memcached's stats.
std::string stat_of(const kvtest::server_process& server, const std::string& name) {
    const std::string stats = server.ask("stats\r\n", "END\r\n");
    const std::string line = "STAT " + name + " ";
    const auto at = stats.find(line);
    if (at == std::string::npos) return "(missing)";
    const auto from = at + line.size();
    return stats.substr(from, stats.find("\r\n", from) - from);
}

class kvbench_memcached : public ::testing::TestWithParam<int> {};

TEST_P(kvbench_memcached, runs_the_whole_suite_on_every_thread) {
    const int threads = GetParam();
    const kvtest::server_process server = kvtest::server_process::memcached();
    kvtest::temp_dir dir;
    const auto result = run_kvbench(dir, server.endpoint(), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_EQ(count_of(result.out, " done on thread #"), std::size_t(threads * suite_tests))
        << result.out;

    const std::string report = dir.read("report.csv");
    EXPECT_EQ(count_of(report, "\r\n"), std::size_t(1 + threads * suite_tests)) << report;
    EXPECT_EQ(stat_of(server, "curr_items"), std::to_string(threads * remaining_per_thread));
}

TEST_P(kvbench_memcached, closed_port_fails_every_test_and_the_run_still_ends) {
    const int threads = GetParam();
    kvtest::temp_dir dir;
    const auto result =
        run_kvbench(dir, "127.0.0.1:" + std::to_string(kvtest::closed_port()), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(count_of(result.err, "test failed: No available servers.\n"),
              std::size_t(threads * suite_tests))
        << result.err;
}

TEST_P(kvbench_memcached, server_dropping_its_clients_fails_the_tests_not_the_process) {
    // The first request of each thread meets a closed connection; the client
    // marks it down and the later tests find no server.
    const int threads = GetParam();
    kvtest::fake_server fake([](kvtest::fake_connection& connection) { connection.close(); });
    kvtest::temp_dir dir;
    const auto result = run_kvbench(dir, "127.0.0.1:" + std::to_string(fake.port()), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(count_of(result.err, "test failed: Key not stored: "), std::size_t(threads))
        << result.err;
    EXPECT_EQ(count_of(result.err, "test failed: No available servers.\n"),
              std::size_t(threads * (suite_tests - 1)))
        << result.err;
}

// A few hundred entries left in a pool of three: enough that the CRC-32
// choice gives every server some.
const char* const pool_suite = R"(tests
{
    multiple_put_remain
    {
        size 16
        count 300
    }
}
)";
constexpr int pool_entries = 300;

class kvbench_memcached_pool : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) servers.emplace_back(kvtest::server_process::memcached());
        for (const auto& server : servers) daemons.push_back(server->endpoint());
    }

    kvtest::process_result run_pool() {
        return kvtest::run_process(
            kvtest::kvbench_path(),
            {"--protocol", "memcached", "--daemon", daemons[0] + "," + daemons[1] + "," + daemons[2],
             "-f", dir.write("suite.cfg", pool_suite), "-o", "report.csv", "-j", "run.json"},
            dir.path(), 60s);
    }

    static int items_on(const kvtest::server_process& server) {
        return std::stoi(stat_of(server, "curr_items"));
    }

    kvtest::temp_dir dir;
    std::vector<std::optional<kvtest::server_process>> servers;
    std::vector<std::string> daemons;
};

TEST_F(kvbench_memcached_pool, spreads_the_keys_over_every_server_of_the_list) {
    const auto result = run_pool();
    ASSERT_FALSE(result.timed_out);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("connecting to " + daemons[0] + "\nconnecting to " + daemons[1] +
                              "\nconnecting to " + daemons[2] + "\n"),
              std::string::npos)
        << result.out;

    int stored = 0;
    for (const auto& server : servers) {
        EXPECT_GT(items_on(*server), 0) << server->endpoint();
        stored += items_on(*server);
    }
    EXPECT_EQ(stored, pool_entries);

    const auto settings = nlohmann::json::parse(dir.read("run.json"))["settings"];
    EXPECT_EQ(settings["daemon"], daemons[0]);
    EXPECT_EQ(settings["servers"], nlohmann::json(daemons));
    EXPECT_EQ(settings["cluster"], false);
}

TEST_F(kvbench_memcached_pool, keys_of_a_server_down_before_the_run_go_to_the_others) {
    servers[1].reset();
    const auto result = run_pool();
    ASSERT_FALSE(result.timed_out);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_EQ(items_on(*servers[0]) + items_on(*servers[2]), pool_entries);
}

INSTANTIATE_TEST_SUITE_P(threads, kvbench_memcached, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::to_string(param.param) + "_threads";
                         });

}  // namespace
