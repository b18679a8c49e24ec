// The protocol table: every protocol's name and number, what the command
// line accepts with it, and the client the factory makes for it.

#include <bench/clients/factory.hpp>
#include <bench/clients/options.hpp>
#include <bench/command_line.hpp>
#include <bench/endpoint.hpp>
#include <bench/protocol.hpp>

#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct parsed {
    bench::command_line_outcome outcome;
    std::string err;
};

// The command line without the file checks, which need no suite or report.
parsed parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"kvbench"};
    for (const auto& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out;
    std::ostringstream err;
    auto outcome = bench::parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err,
                                          bench::file_checks::none);
    return {std::move(outcome), err.str()};
}

TEST(protocol_table, every_protocol_is_found_by_its_name_and_number_and_parsed_back) {
    ASSERT_EQ(bench::protocols().size(), 4u);
    for (const bench::protocol_info& protocol : bench::protocols()) {
        SCOPED_TRACE(protocol.name);
        EXPECT_EQ(bench::find_protocol(protocol.name), &protocol);
        EXPECT_EQ(bench::find_protocol(protocol.type), &protocol);
        EXPECT_STREQ(bench::protocol_name(protocol.type), protocol.name);
        const parsed given = parse({"--protocol", protocol.name});
        ASSERT_TRUE(given.outcome.settings) << given.err;
        EXPECT_EQ(given.outcome.settings->protocol, protocol.type);
    }
    const auto past_the_end = static_cast<bench::protocol_type>(bench::protocol_count);
    for (const auto unknown : {past_the_end, static_cast<bench::protocol_type>(-1)}) {
        EXPECT_EQ(bench::find_protocol(unknown), nullptr);
        EXPECT_STREQ(bench::protocol_name(unknown), "unknown");
    }
    EXPECT_EQ(bench::find_protocol(std::string("Redis")), nullptr);
    EXPECT_EQ(bench::find_protocol(std::string("")), nullptr);
}

TEST(protocol_table, the_command_line_takes_the_endpoints_and_options_of_each_protocol) {
    kvtest::temp_dir dir;
    const std::string auth = dir.write("auth", "secret\n");
    ASSERT_EQ(::chmod(auth.c_str(), 0600), 0);
    struct expected {
        const char* name;
        bool unix_socket;  // whether unix:PATH is accepted
        bool auth_file;    // whether --auth-file is accepted
        bool list;         // whether a --daemon list is accepted without --cluster
        bool cluster;      // whether --cluster (and with it a list) is accepted
    };
    const expected cases[] = {
        {"local", true, false, false, false},
        {"nox", false, false, false, false},
        {"memcached", true, false, true, false},
        {"redis", true, true, false, true},
    };
    ASSERT_EQ(std::size(cases), bench::protocols().size());
    for (const expected& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* tcp : {"127.0.0.1:1", "[::1]:1"})
            EXPECT_TRUE(parse({"--protocol", c.name, "--daemon", tcp}).outcome.settings);

        const parsed on_socket = parse({"--protocol", c.name, "--daemon", "unix:/x.sock"});
        EXPECT_EQ(on_socket.outcome.settings.has_value(), c.unix_socket);
        if (!c.unix_socket) {
            EXPECT_EQ(on_socket.outcome.exit_status, 1);
            EXPECT_EQ(on_socket.err,
                      std::string("Error: the ") + c.name + " protocol needs a host:port endpoint\n");
        }

        const parsed with_auth = parse({"--protocol", c.name, "--auth-file", auth});
        EXPECT_EQ(with_auth.outcome.settings.has_value(), c.auth_file);
        if (c.auth_file) {
            EXPECT_EQ(with_auth.outcome.settings->clients.redis_login->password, "secret");
        } else {
            EXPECT_EQ(with_auth.err, "Error: the auth file is used by the redis protocol only\n");
        }

        const char* const list = "127.0.0.1:1,[::1]:2";
        const parsed listed = parse({"--protocol", c.name, "--daemon", list});
        EXPECT_EQ(listed.outcome.settings.has_value(), c.list) << listed.err;
        const parsed cluster = parse({"--protocol", c.name, "--cluster", "--daemon", list});
        EXPECT_EQ(cluster.outcome.settings.has_value(), c.cluster) << cluster.err;
        if (!c.cluster) {
            EXPECT_EQ(cluster.err, "Error: --cluster is used by the redis protocol only\n");
        }
    }
}

TEST(protocol_table, the_factory_makes_each_protocol_its_client) {
    // nox's stand-in library speaks to a Redis server.
    const kvtest::server_process redis = kvtest::server_process::redis();
    const kvtest::server_process memcached = kvtest::server_process::memcached();
    for (const bench::protocol_info& protocol : bench::protocols()) {
        SCOPED_TRACE(protocol.name);
        const std::string name = protocol.name;
        std::string where = "127.0.0.1:1";  // the local client reaches nothing
        if (name == "nox" || name == "redis") where = redis.endpoint();
        if (name == "memcached") where = memcached.endpoint();
        const auto [daemon, error] = bench::parse_endpoint(where);
        ASSERT_FALSE(error);
        const auto client = bench::make_client(protocol.type, daemon, bench::client_options{});
        ASSERT_NE(client, nullptr);
        EXPECT_STREQ(client->protocol_name(), protocol.name);
    }
}

}  // namespace
