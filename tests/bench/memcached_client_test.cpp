// bench::memcached_client, built through the thread context as the benchmark
// builds it, against a real memcached and a scripted slow server.

#include <bench/clients/memcached_client.hpp>
#include <bench/thread_context.hpp>

#include <memcache/exceptions.hpp>

#include "mix_operation_cases.hpp"

#include <support/fake_server.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

bench::run_settings memcached_settings(const boost::asio::ip::address& address, std::uint16_t port) {
    bench::run_settings settings;
    settings.daemon = {address, port};
    settings.protocol = bench::protocol_type::memcached;
    settings.threads = 1;
    return settings;
}

bench::run_settings loopback_settings(std::uint16_t port) {
    return memcached_settings(boost::asio::ip::make_address("127.0.0.1"), port);
}

bench::memcached_client& adapter_of(const bench::thread_context& context) {
    auto* adapter = dynamic_cast<bench::memcached_client*>(context.client.get());
    if (adapter == nullptr) throw std::logic_error("not a memcached client");
    return *adapter;
}

// The message of what `call` throws, "ok" when it returns.
std::string outcome_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "ok";
}

TEST(memcached_client, registers_the_daemon_as_its_only_server) {
    struct row {
        const char* address;
        std::uint16_t port;
        const char* name;
        const char* host;
        const char* port_text;
    };
    for (const row& r : {row{"127.0.0.1", 2836, "127.0.0.1:2836", "127.0.0.1", "2836"},
                         row{"::1", 65535, "::1:65535", "::1", "65535"}}) {
        // Whether anything listens there does not matter: only the table is looked at.
        bench::thread_context context(memcached_settings(boost::asio::ip::make_address(r.address), r.port), 0);
        EXPECT_STREQ(context.client->protocol_name(), "memcached");
        const auto& servers = adapter_of(context).store().servers();
        ASSERT_EQ(servers.size(), 1u);
        EXPECT_EQ(servers.begin()->first, r.name);
        EXPECT_EQ(servers.begin()->second.host, r.host);
        EXPECT_EQ(servers.begin()->second.port, r.port_text);
    }
}

TEST(memcached_client, registers_every_server_of_a_list_and_not_the_daemon_twice) {
    bench::run_settings settings = loopback_settings(2836);
    settings.clients.servers = {settings.daemon,
                                {boost::asio::ip::make_address("::1"), 11211},
                                bench::endpoint::unix_socket("/nowhere/memcached.sock")};
    bench::thread_context context(settings, 0);
    std::vector<std::string> names;
    for (const auto& [name, server] : adapter_of(context).store().servers()) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"127.0.0.1:2836", "::1:11211",
                                               "unix:/nowhere/memcached.sock"}));
}

TEST(memcached_client, without_a_daemon_is_built_and_fails_every_operation) {
    bench::thread_context context(loopback_settings(kvtest::closed_port()), 0);
    bench::client& client = *context.client;
    std::string value;
    // A store that cannot be reached is a failure, never a miss.
    for (const auto& operation : std::vector<std::function<void()>>{
             [&] { client.put("k", "v"); }, [&] { client.update("k", "v"); },
             [&] { client.remove("k"); }, [&] { client.get("k", value, 1); },
             [&] { client.set("k", "v"); }, [&] { client.try_get("k", value); },
             [&] { client.try_update("k", "v"); }, [&] { client.try_remove("k"); }})
        EXPECT_EQ(outcome_of(operation), "No available servers.");
}

class memcached_client_with_server : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<kvtest::server_process>(kvtest::server_process::memcached());
    }
    static void TearDownTestSuite() { server_.reset(); }

    std::string key() const {
        return std::string("adapter/") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    static std::unique_ptr<kvtest::server_process> server_;
    bench::thread_context context_{loopback_settings(server_->port()), 0};
    bench::client& client_ = *context_.client;
};

std::unique_ptr<kvtest::server_process> memcached_client_with_server::server_;

TEST_F(memcached_client_with_server, put_of_an_existing_key_fails) {
    const std::string k = key();
    client_.put(k, "first");
    EXPECT_EQ(outcome_of([&] { client_.put(k, "second"); }), "Key not stored: " + k);
    std::string value;
    client_.get(k, value, 5);
    EXPECT_EQ(value, "first");
}

TEST_F(memcached_client_with_server, update_needs_an_existing_key) {
    const std::string k = key();
    EXPECT_EQ(outcome_of([&] { client_.update(k, "v"); }), "Key not stored: " + k);
    client_.put(k, "old");
    client_.update(k, "new value");
    std::string value;
    client_.get(k, value, 3);
    EXPECT_EQ(value, "new value");
}

TEST_F(memcached_client_with_server, remove_needs_an_existing_key_and_get_then_misses) {
    const std::string k = key();
    client_.put(k, "v");
    client_.remove(k);
    EXPECT_EQ(outcome_of([&] { client_.remove(k); }), "Key not found: " + k);
    std::string value;
    EXPECT_EQ(outcome_of([&] { client_.get(k, value, 1); }), "Key not found: " + k);
}

TEST_F(memcached_client_with_server, get_returns_the_stored_value_whatever_size_is_expected) {
    const std::string k = key();
    const std::string stored = std::string(3000, 'v') + "\r\nEND\r\n";
    client_.put(k, stored);
    for (std::size_t expected : {std::size_t(0), std::size_t(10), stored.size(), std::size_t(1) << 20}) {
        std::string value(expected, 'x');
        client_.get(k, value, expected);
        EXPECT_EQ(value, stored) << expected;
    }
}

TEST_F(memcached_client_with_server, mix_operations_tell_a_miss_by_their_result) {
    kvtest::check_mix_operations(client_, key());
}

TEST_F(memcached_client_with_server, a_bad_key_is_refused) {
    EXPECT_EQ(outcome_of([&] { client_.put("a b", "v"); }), "Invalid key: a b");
}

TEST(memcached_client, stays_down_after_a_reply_slower_than_half_a_second) {
    kvtest::fake_server server([](kvtest::fake_connection& c) {
        c.read_until("\r\n");
        c.stall(800ms);
        c.send("VALUE k 0 1\r\nv\r\nEND\r\n");
        c.wait_for_peer_close();
    });
    bench::thread_context context(loopback_settings(server.port()), 0);
    std::string value;
    EXPECT_EQ(outcome_of([&] { context.client->get("k", value, 1); }),
              "Key not found: k (no reply within 500 ms)");
    EXPECT_EQ(outcome_of([&] { context.client->put("k", "v"); }), "No available servers.");
    EXPECT_EQ(outcome_of([&] { context.client->get("k", value, 1); }), "No available servers.");
    EXPECT_EQ(server.accepted(), 1u);
}

// A server that sends for ever must not hold the step: the operation fails
// within the reply limit and says why, and the client lets the server go.
TEST(memcached_client, lets_go_of_a_server_that_keeps_sending) {
    struct row {
        const char* name;
        std::string head;  // sent once, then 64 KiB pieces without a line end
        std::function<void(bench::client&)> operation;
        std::string outcome;
    };
    std::string value;
    const std::vector<row> rows = {
        {"put_answered_without_a_line_end", "", [](bench::client& c) { c.put("k", "v"); },
         "Key not stored: k (reply line longer than 64 KiB)"},
        {"get_answered_by_a_value_of_4_gib", "VALUE k 0 4294967295\r\n",
         [&](bench::client& c) { c.get("k", value, 1); },
         "Key not found: k (announced value larger than 1 GiB)"},
    };
    for (const row& r : rows) {
        kvtest::fake_server server([&](kvtest::fake_connection& c) {
            c.read_until("\r\n");
            c.send(r.head);
            c.send_until_closed(std::string(64 * 1024, 'x'), 3s);
        });
        bench::thread_context context(loopback_settings(server.port()), 0);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(outcome_of([&] { r.operation(*context.client); }), r.outcome) << r.name;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms) << r.name;
        EXPECT_EQ(outcome_of([&] { r.operation(*context.client); }), "No available servers.")
            << r.name;
    }
}

}  // namespace
