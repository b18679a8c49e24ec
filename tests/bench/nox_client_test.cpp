// bench::nox_client over libnox_api, against a real redis-server and
// against endpoints that fail.

#include <bench/clients/nox_client.hpp>
#include <bench/interrupt.hpp>
#include <bench/thread_context.hpp>

#include "mix_operation_cases.hpp"

#include <support/fake_server.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// A context with the local protocol (so that building it connects nothing)
// whose daemon is the given loopback port.
bench::run_settings settings_for(std::uint16_t port, bench::protocol_type protocol) {
    bench::run_settings settings;
    settings.daemon = {boost::asio::ip::make_address_v4("127.0.0.1"), port};
    settings.protocol = protocol;
    settings.threads = 1;
    return settings;
}

// The message of the std::runtime_error `call` throws, "" when it returns.
std::string failure_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(nox_client_construction, an_unreachable_daemon_fails_with_its_message_where_and_why) {
    const std::uint16_t port = kvtest::closed_port();
    const std::string refused =
        "cannot connect to remote host 127.0.0.1:" + std::to_string(port) + ": Connection refused";
    const bench::thread_context context(settings_for(port, bench::protocol_type::local), 0);
    // Repeated: a handle left behind by a failed constructor shows up as a leak.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(failure_of([&] { bench::nox_client client(context.settings.daemon); }), refused);
    // The same through the factory, as the driver builds it.
    EXPECT_EQ(failure_of([&] { bench::thread_context c(settings_for(port, bench::protocol_type::nox), 0); }),
              refused);
}

TEST(nox_client_construction, a_stop_ends_a_connect_that_hangs) {
    const kvtest::unanswering_listener listener;
    const bench::thread_context context(settings_for(listener.port(), bench::protocol_type::local), 0);
    // Stopped in its first attempt, and in a later, longer one.
    for (const auto wait : {50ms, 1500ms}) {
        SCOPED_TRACE(wait.count());
        auto connecting = std::async(std::launch::async, [&] { bench::nox_client client(context.settings.daemon); });
        std::this_thread::sleep_for(wait);
        const auto stopped = std::chrono::steady_clock::now();
        bench::request_interrupt(SIGINT);
        ASSERT_EQ(connecting.wait_for(3s), std::future_status::ready) << "still connecting";
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1100ms);
        bench::detail::interrupt_signal = 0;
        EXPECT_THROW(connecting.get(), bench::interrupted_error);
    }
}

class nox_client_redis : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<kvtest::server_process>(kvtest::server_process::redis());
    }
    static void TearDownTestSuite() { server.reset(); }

    std::string key(const char* what) const {
        return std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "/" + what;
    }

    static std::unique_ptr<kvtest::server_process> server;
    bench::thread_context context{settings_for(server->port(), bench::protocol_type::nox), 0};
    bench::client& client = *context.client;
};
std::unique_ptr<kvtest::server_process> nox_client_redis::server;

TEST_F(nox_client_redis, operations_store_replace_read_and_delete) {
    EXPECT_STREQ(client.protocol_name(), "nox");
    std::string value;
    client.put(key("k"), "first\0value"s);
    client.get(key("k"), value, 11);
    EXPECT_EQ(value, "first\0value"s);
    client.update(key("k"), "other value");
    client.get(key("k"), value, 11);
    EXPECT_EQ(value, "other value");
    client.remove(key("k"));
    EXPECT_EQ(failure_of([&] { client.get(key("k"), value, 11); }), "cannot get entry");
}

TEST_F(nox_client_redis, mix_operations_tell_a_miss_by_their_result) {
    kvtest::check_mix_operations(client, key("mix"));
}

TEST_F(nox_client_redis, every_failed_call_throws_its_message_and_the_client_goes_on) {
    std::string value;
    client.put(key("present"), "v");
    const std::string nul_key = key("present") + "\0tail"s;  // would name "present"
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { client.put(key("present"), "again"); }, "cannot put entry"},
        {[&] { client.update(key("missing"), "v"); }, "cannot update entry"},
        {[&] { client.remove(key("missing")); }, "cannot remove entry"},
        {[&] { client.get(key("missing"), value, 1); }, "cannot get entry"},
        {[&] { client.put(nul_key, "v"); }, "cannot put entry"},
        {[&] { client.update(nul_key, "v"); }, "cannot update entry"},
        {[&] { client.remove(nul_key); }, "cannot remove entry"},
        {[&] { client.get(nul_key, value, 1); }, "cannot get entry"},
        {[&] { client.set(nul_key, "v"); }, "cannot set entry"},
        {[&] { client.try_get(nul_key, value); }, "cannot get entry"},
        {[&] { client.try_update(nul_key, "v"); }, "cannot update entry"},
        {[&] { client.try_remove(nul_key); }, "cannot remove entry"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(failure_of(cases[i].first), cases[i].second) << "case " << i;
        client.get(key("present"), value, 1);  // still connected, and untouched
        EXPECT_EQ(value, "v") << "case " << i;
    }
}

TEST_F(nox_client_redis, get_reads_into_a_buffer_of_the_expected_size) {
    client.put(key("five"), "12345");
    client.put(key("empty"), "");
    struct get_case {
        std::string key;
        std::size_t expected_size;
        std::string before;
        std::string failure;  // "" for success
        std::string after;    // the value after a success; a failure leaves expected_size bytes
    };
    const std::vector<get_case> cases = {
        {key("five"), 5, "old content, longer", "", "12345"},
        {key("empty"), 0, "old", "", ""},
        // A longer content is refused, never cut; the value is left sized as asked.
        {key("five"), 3, "", "cannot get entry", ""},
        {key("five"), 0, "old", "cannot get entry", ""},
        {key("missing"), 4, "old content", "cannot get entry", ""},
        // A shorter content is what the value holds, not padded to the expected size.
        {key("five"), 8, "", "", "12345"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " into " + std::to_string(c.expected_size));
        std::string value = c.before;
        EXPECT_EQ(failure_of([&] { client.get(c.key, value, c.expected_size); }), c.failure);
        if (c.failure.empty()) {
            EXPECT_EQ(value, c.after);
        } else {
            EXPECT_EQ(value.size(), c.expected_size);
        }
    }
}

TEST(nox_client_faults, a_daemon_that_hangs_up_fails_every_later_operation) {
    kvtest::fake_server fake([](kvtest::fake_connection& c) { c.read_until("\r\n"); });
    bench::thread_context context(settings_for(fake.port(), bench::protocol_type::nox), 0);
    std::string value;
    EXPECT_EQ(failure_of([&] { context.client->put("k", "v"); }), "cannot put entry");
    EXPECT_EQ(failure_of([&] { context.client->update("k", "v"); }), "cannot update entry");
    EXPECT_EQ(failure_of([&] { context.client->remove("k"); }), "cannot remove entry");
    EXPECT_EQ(failure_of([&] { context.client->get("k", value, 2); }), "cannot get entry");
    EXPECT_EQ(value.size(), 2u);
    // A broken connection is a failure, never a miss.
    EXPECT_EQ(failure_of([&] { context.client->set("k", "v"); }), "cannot set entry");
    EXPECT_EQ(failure_of([&] { context.client->try_get("k", value); }), "cannot get entry");
    EXPECT_EQ(failure_of([&] { context.client->try_update("k", "v"); }), "cannot update entry");
    EXPECT_EQ(failure_of([&] { context.client->try_remove("k"); }), "cannot remove entry");
}

}  // namespace
