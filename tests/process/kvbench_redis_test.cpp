// The kvbench executable with --protocol redis, against a real redis-server,
// a port where nothing listens and a fake server that drops its clients.

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
    const auto result = run_kvbench(dir, "127.0.0.1:" + std::to_string(kvtest::closed_port()),
                                    GetParam());
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find("Error in benchmark: Cannot connect to redis server\n"),
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

INSTANTIATE_TEST_SUITE_P(Threads, KvbenchRedisTest, ::testing::Values(1, 3),
                         [](const auto& threads) { return std::to_string(threads.param) + "_threads"; });

}  // namespace
