// The kvbench executable against stores as they are deployed: on the IPv6
// loopback, on UNIX sockets, behind a password or an ACL user, and behind
// nutcracker (twemproxy); and the failures of each.

#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kvtest::count_of;
using kvtest::server_process;

const std::string suite = KVBENCH_SOURCE_DIR "/suites/quick.cfg";
constexpr std::size_t suite_tests = 5;
const std::string password = "pass-word-7f3e";  // must never be printed
// A requirepass password with spaces, written "default <password>" in the auth file.
const std::string spaced_password = password + " and more words";

kvtest::process_result run_kvbench(const kvtest::temp_dir& dir, std::vector<std::string> args) {
    args.insert(args.end(), {"-f", suite, "-o", dir.path() + "/report.csv"});
    return kvtest::run_process(kvtest::kvbench_path(), args, dir.path(), 60s);
}

// The servers of one deployment, kept running for the run, and how kvbench
// reaches them.
struct started {
    std::vector<server_process> servers;
    std::string daemon;
    std::vector<std::string> more_args;
};

struct deployment {
    const char* name;
    const char* protocol;
    std::function<started(const kvtest::temp_dir&)> start;
};

started one(server_process server, std::vector<std::string> more_args = {}) {
    started s;
    s.daemon = server.endpoint();
    s.servers.push_back(std::move(server));
    s.more_args = std::move(more_args);
    return s;
}

started behind_nutcracker(const kvtest::temp_dir& dir, bool redis) {
    started s;
    s.servers.push_back(redis ? server_process::redis() : server_process::memcached());
    s.servers.push_back(server_process::nutcracker(dir.path(), redis, s.servers.front()));
    s.daemon = s.servers.back().endpoint();
    return s;
}

const std::vector<deployment>& deployments() {
    static const std::vector<deployment> all = {
        {"redis_on_ipv6", "redis",
         [](const kvtest::temp_dir&) { return one(server_process::redis_on_ipv6()); }},
        {"redis_on_unix_socket", "redis",
         [](const kvtest::temp_dir& dir) {
             return one(server_process::redis_on_unix_socket(dir.path() + "/redis.sock"));
         }},
        {"memcached_on_unix_socket", "memcached",
         [](const kvtest::temp_dir& dir) {
             return one(server_process::memcached_on_socket(dir.path() + "/memcached.sock"));
         }},
        {"redis_with_password", "redis",
         [](const kvtest::temp_dir& dir) {
             return one(server_process::redis({"--requirepass", password}),
                        {"--auth-file", dir.write("auth", password + "\n")});
         }},
        {"redis_with_a_password_holding_spaces", "redis",
         [](const kvtest::temp_dir& dir) {
             return one(server_process::redis({"--requirepass", spaced_password}),
                        {"--auth-file", dir.write("auth", "default " + spaced_password + "\n")});
         }},
        {"redis_with_acl_user", "redis",
         [](const kvtest::temp_dir& dir) {
             return one(server_process::redis({"--user", "default", "off", "--user", "bench", "on",
                                               ">" + password, "~*", "+@all"}),
                        {"--auth-file", dir.write("auth", "bench " + password + "\r\n")});
         }},
        {"memcached_behind_nutcracker", "memcached",
         [](const kvtest::temp_dir& dir) { return behind_nutcracker(dir, false); }},
        {"redis_behind_nutcracker", "redis",
         [](const kvtest::temp_dir& dir) { return behind_nutcracker(dir, true); }},
    };
    return all;
}

class kvbench_deployed : public testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(kvbench_deployed, runs_the_whole_suite_on_every_thread) {
    const deployment& where = deployments()[std::get<0>(GetParam())];
    const std::size_t threads = std::get<1>(GetParam());
    if (std::string(where.name) == "redis_on_ipv6" && !kvtest::has_ipv6_loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback address";
    kvtest::temp_dir dir;
    const started servers = where.start(dir);
    std::vector<std::string> args = {"--protocol", where.protocol, "--daemon", servers.daemon,
                                     "--threads", std::to_string(threads)};
    args.insert(args.end(), servers.more_args.begin(), servers.more_args.end());
    const auto result = run_kvbench(dir, args);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err.find("test failed"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("connecting to " + servers.daemon + "\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(count_of(result.out, " done on thread #"), threads * suite_tests)
        << result.out;
    const std::string report = dir.read("report.csv");
    EXPECT_EQ(count_of(report, "\r\n"), 1 + threads * suite_tests) << report;
    for (const std::string* text : {&result.out, &result.err, &report})
        EXPECT_EQ(text->find(password), std::string::npos) << "the password was printed";
}

INSTANTIATE_TEST_SUITE_P(
    deployments, kvbench_deployed,
    testing::Combine(testing::Range<std::size_t>(0, deployments().size()), testing::Values(1, 4)),
    [](const testing::TestParamInfo<std::tuple<std::size_t, int>>& param) {
        return std::string(deployments()[std::get<0>(param.param)].name) + "_" +
               std::to_string(std::get<1>(param.param)) + "_threads";
    });

TEST(kvbench_endpoint_failures, each_gives_its_message_and_exit_status) {
    kvtest::temp_dir dir;
    const server_process guarded = server_process::redis({"--requirepass", password});
    const std::string wrong = dir.write("wrong", "not-" + password + "\n");
    const std::string closed_ipv6 = "[::1]:" + std::to_string(kvtest::free_port());
    const std::string missing_socket = "unix:" + dir.path() + "/missing.sock";
    struct failure_case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const failure_case cases[] = {
        {"wrong password",
         {"--protocol", "redis", "--daemon", guarded.endpoint(), "--auth-file", wrong}, 1,
         "Error in benchmark: redis authentication failed: "},
        {"missing auth file",
         {"--protocol", "redis", "--auth-file", dir.path() + "/none"}, 1,
         "Error: cannot read the auth file " + dir.path() + "/none: No such file or directory\n"},
        {"no socket at the path, redis", {"--protocol", "redis", "--daemon", missing_socket}, 1,
         "Error in benchmark: Cannot connect to redis server " + missing_socket +
             ": No such file or directory\n"},
        {"no socket at the path, memcached",
         {"--protocol", "memcached", "--daemon", missing_socket}, 0,
         "test failed: No available servers.\n"},
        {"nothing on the IPv6 port", {"--protocol", "redis", "--daemon", closed_ipv6}, 1,
         "Error in benchmark: Cannot connect to redis server " + closed_ipv6 +
             ": Connection refused\n"},
        {"nox on a UNIX socket", {"--protocol", "nox", "--daemon", missing_socket}, 1,
         "Error: the nox protocol needs a host:port endpoint\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = run_kvbench(dir, c.args);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        // A run that ends before any test runs none; one that goes on fails each.
        EXPECT_EQ(count_of(result.out, " ### test in error"), c.status == 0 ? suite_tests : 0u)
            << result.out;
        EXPECT_EQ(result.err.find(password), std::string::npos) << "the password was printed";
    }
}

}  // namespace
