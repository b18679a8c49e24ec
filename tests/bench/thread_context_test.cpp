// Building a thread's context: its copy of the settings, its number and the
// client the factory picks by protocol.

#include <bench/clients/local_client.hpp>
#include <bench/endpoint.hpp>
#include <bench/thread_context.hpp>

#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

bench::run_settings local_settings() {
    bench::run_settings settings;
    settings.protocol = bench::protocol_type::local;
    settings.threads = 3;
    settings.test_file = "suite.cfg";
    settings.report_file = "report.csv";
    return settings;
}

TEST(thread_context, holds_its_own_settings_number_and_client) {
    bench::run_settings settings = local_settings();
    bench::thread_context context(settings, 2);
    settings.test_file = "changed after";

    EXPECT_EQ(context.thread_number, 2u);
    EXPECT_EQ(context.settings.test_file, "suite.cfg");
    EXPECT_EQ(context.settings.threads, 3);
    ASSERT_NE(context.client, nullptr);
    EXPECT_NE(dynamic_cast<bench::local_client*>(context.client.get()), nullptr);
    EXPECT_STREQ(context.client->protocol_name(), "local");
}

TEST(thread_context, every_context_gets_a_client_of_its_own) {
    const bench::run_settings settings = local_settings();
    bench::thread_context first(settings, 0);
    bench::thread_context second(settings, 1);
    first.client->put("k", "v");
    std::string value;
    EXPECT_THROW(second.client->get("k", value, 1), std::runtime_error);
}

TEST(thread_context, an_unknown_protocol_builds_no_context) {
    for (const int protocol : {4, 5, -1}) {
        bench::run_settings settings = local_settings();
        settings.protocol = static_cast<bench::protocol_type>(protocol);
        try {
            bench::thread_context context(settings, 0);
            ADD_FAILURE() << "protocol " << protocol << " built a context";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "unknown test protocol") << protocol;
        }
    }
}

// A pipelined context over a cluster reads its slot map first: without one,
// it fails as the one-call cluster client does.
TEST(thread_context, a_pipelined_run_over_a_redis_cluster_without_a_map_fails_as_the_client_does) {
    bench::run_settings settings = local_settings();
    settings.protocol = bench::protocol_type::redis;
    settings.pipeline = 4;
    settings.clients.redis_cluster = true;
    const std::string daemon = "127.0.0.1:" + std::to_string(kvtest::free_port());
    settings.daemon = bench::parse_endpoint(daemon).first;
    try {
        bench::thread_context context(settings, 0);
        ADD_FAILURE() << "a pipelined context over no cluster was built";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot connect to redis cluster: " + daemon + ": Connection refused");
    }
}

}  // namespace
