// The kvbench executable with --protocol memcached, against a real memcached,
// a port where nothing listens and a server that drops its clients.

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <memory>
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

INSTANTIATE_TEST_SUITE_P(threads, kvbench_memcached, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::to_string(param.param) + "_threads";
                         });

}  // namespace
