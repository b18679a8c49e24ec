// The kvbench executable with --protocol nox (through libnox_api) against a
// real redis-server, a port where nothing listens and a fake server that
// drops its clients.

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

// Every kind once; multiple_put_remain leaves its 200 entries in the store.
const std::string suite = KVBENCH_SOURCE_DIR "/suites/quick.cfg";
constexpr int suite_tests = 5;
constexpr int remaining_per_thread = 200;

using kvtest::count_of;

kvtest::process_result run_kvbench(const kvtest::temp_dir& dir, std::uint16_t port, int threads) {
    return kvtest::run_process(kvtest::kvbench_path(),
                               {"--protocol", "nox", "--daemon", "127.0.0.1:" + std::to_string(port),
                                "--threads", std::to_string(threads), "-f", suite, "-o",
                                dir.path() + "/report.csv"},
                               dir.path(), 60s);
}

class kvbench_nox : public testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<kvtest::server_process>(kvtest::server_process::redis());
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { server->ask("FLUSHALL\r\n", "\r\n"); }

    static std::unique_ptr<kvtest::server_process> server;
};
std::unique_ptr<kvtest::server_process> kvbench_nox::server;

TEST_P(kvbench_nox, runs_the_whole_suite_on_every_thread) {
    const int threads = GetParam();
    kvtest::temp_dir dir;
    const auto result = run_kvbench(dir, server->port(), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_EQ(count_of(result.out, " done on thread #"), std::size_t(threads * suite_tests)) << result.out;
    EXPECT_EQ(count_of(dir.read("report.csv"), "\r\n"), std::size_t(1 + threads * suite_tests));
    EXPECT_EQ(server->ask("DBSIZE\r\n", "\r\n"), ":" + std::to_string(threads * remaining_per_thread) + "\r\n");
}

TEST_P(kvbench_nox, a_closed_port_ends_the_run_with_the_connect_error) {
    kvtest::temp_dir dir;
    const std::uint16_t port = kvtest::closed_port();
    const auto result = run_kvbench(dir, port, GetParam());
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find("Error in benchmark: cannot connect to remote host 127.0.0.1:" +
                              std::to_string(port) + ": Connection refused\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(count_of(result.out, " done on thread #"), 0u);
}

TEST_P(kvbench_nox, a_server_dropping_its_clients_fails_the_tests_not_the_process) {
    const int threads = GetParam();
    kvtest::fake_server fake([](kvtest::fake_connection& c) { c.send("-ERR max number of clients reached\r\n"); });
    kvtest::temp_dir dir;
    const auto result = run_kvbench(dir, fake.port(), threads);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(count_of(result.err, "test failed: "), std::size_t(threads * suite_tests)) << result.err;
}

INSTANTIATE_TEST_SUITE_P(threads, kvbench_nox, testing::Values(1, 4),
                         [](const auto& threads) { return std::to_string(threads.param) + "_threads"; });

}  // namespace
