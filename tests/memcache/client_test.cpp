// memcache::client on its own: server table, key hash, failover, key check,
// connecting. The connections here go to scripted servers that only listen.

#include <memcache/client.hpp>
#include <memcache/commands.hpp>
#include <memcache/exceptions.hpp>

#include <support/fake_server.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(server_index, follows_the_crc32_of_the_key_modulo_the_server_count) {
    struct row {
        std::size_t servers;
        std::string key;
        std::uint64_t index;
    };
    // CRC-32 of "123456789" is 0xCBF43926, of "a" 0xE8B7BE43, of "k1" 0x960EA0A9.
    for (const row& r : std::vector<row>{{1, "123456789", 0},
                                         {1, "a", 0},
                                         {3, "123456789", 2},
                                         {3, "a", 0},
                                         {3, "", 0},
                                         {3, "k1", 1},
                                         {5, "k1", 3},
                                         {7, "123456789", 5},
                                         {7, "a", 4}}) {
        memcache::client client;
        for (std::size_t i = 0; i < r.servers; ++i) client.add_server("h" + std::to_string(i), "1");
        EXPECT_EQ(client.server_index(r.key), r.index) << r.servers << " " << r.key;
    }
}

TEST(server_index, picks_servers_by_name_order) {
    memcache::client client;
    client.add_server("c", "1");
    client.add_server("a", "1");
    client.add_server("b", "1");
    std::vector<std::string> names;
    for (const auto& entry : client.servers()) names.push_back(entry.first);
    ASSERT_EQ(names, (std::vector<std::string>{"a:1", "b:1", "c:1"}));
    EXPECT_EQ(names[client.server_index("123456789")], "c:1");
    EXPECT_EQ(names[client.server_index("a")], "a:1");
}

TEST(add_server, keeps_one_entry_per_host_and_port) {
    memcache::client client;
    client.add_server("127.0.0.1", "11211");
    client.add_server("127.0.0.1", "11211");
    client.add_server("127.0.0.1", "11212");
    client.add_local_server("/run/mc.sock");
    client.add_local_server("/run/mc.sock");
    ASSERT_EQ(client.servers().size(), 3u);
    const memcache::connection& first = client.servers().begin()->second;
    EXPECT_EQ(client.servers().begin()->first, "127.0.0.1:11211");
    EXPECT_EQ(first.host, "127.0.0.1");
    EXPECT_EQ(first.port, "11211");
    EXPECT_TRUE(first.path.empty());
    EXPECT_FALSE(first.connected);
    EXPECT_FALSE(first.socket);
    const auto& local = *std::prev(client.servers().end());
    EXPECT_EQ(local.first, "unix:/run/mc.sock");
    EXPECT_EQ(local.second.path, "/run/mc.sock");
    EXPECT_FALSE(local.second.connected);
}

TEST(validate_key, rejects_whitespace_control_bytes_and_long_keys) {
    struct row {
        std::string key;
        bool accepted;
    };
    for (const row& r : std::vector<row>{{"k1", true},
                                         {"", true},
                                         {"\xc3\xa9", true},
                                         {"~!/{}", true},
                                         {std::string(250, 'k'), true},
                                         {std::string(251, 'k'), false},
                                         {"a b", false},
                                         {"a\tb", false},
                                         {"a\r\nb", false},
                                         {"a\0b"s, false},
                                         {"a\x7f", false},
                                         {"\x01", false}}) {
        if (r.accepted) {
            EXPECT_NO_THROW(memcache::client::validate_key(r.key)) << r.key;
        } else {
            EXPECT_THROW(memcache::client::validate_key(r.key), memcache::invalid_key) << r.key;
        }
    }
    try {
        memcache::client::validate_key("a b");
    } catch (const memcache::invalid_key& e) {
        EXPECT_STREQ(e.what(), "Invalid key: a b");
    }
}

// Every command, applied to `client`, for the tables below.
std::vector<std::pair<const char*, std::function<void(memcache::client&)>>> every_command() {
    static std::string destination;
    return {{"get", [](memcache::client& c) { memcache::get_command("k", &destination)(c); }},
            {"add", [](memcache::client& c) { memcache::add_command("k", "v", 0, 0)(c); }},
            {"replace", [](memcache::client& c) { memcache::replace_command("k", "v", 0, 0)(c); }},
            {"delete", [](memcache::client& c) { memcache::delete_command("k")(c); }}};
}

TEST(client_without_servers, reports_no_available_servers_for_every_command) {
    memcache::client client;
    client.connect(500);
    EXPECT_EQ(client.server_index("k"), 0u);
    EXPECT_THROW(client.select_server(0), memcache::no_available_servers);
    for (const auto& command : every_command()) {
        try {
            command.second(client);
            ADD_FAILURE() << command.first << " returned";
        } catch (const memcache::no_available_servers& e) {
            EXPECT_STREQ(e.what(), "No available servers.") << command.first;
        }
    }
}

TEST(client, invalid_key_is_raised_before_any_server_is_chosen) {
    memcache::client client;
    EXPECT_THROW(memcache::get_command("a b", nullptr)(client), memcache::invalid_key);
    EXPECT_THROW(memcache::add_command(std::string(251, 'k'), "v", 0, 0)(client),
                 memcache::invalid_key);
}

TEST(connect, records_unreachable_servers_as_down) {
    memcache::client client;
    client.add_server("127.0.0.1", std::to_string(kvtest::closed_port()));
    client.add_server("no-such-host.invalid", "11211");
    EXPECT_NO_THROW(client.connect(500));
    for (const auto& entry : client.servers()) {
        EXPECT_FALSE(entry.second.connected) << entry.first;
        EXPECT_FALSE(entry.second.socket) << entry.first;
    }
    for (const auto& command : every_command())
        EXPECT_THROW(command.second(client), memcache::no_available_servers) << command.first;
}

// Scripted servers that accept and then only wait for the client to leave.
struct listeners {
    explicit listeners(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            servers.push_back(std::make_unique<kvtest::fake_server>(
                [](kvtest::fake_connection& c) { c.wait_for_peer_close(10s); }));
    }
    std::vector<std::unique_ptr<kvtest::fake_server>> servers;
};

TEST(connect, brings_up_listening_servers_and_again_after_a_mark_down) {
    listeners up(1);
    memcache::client client;
    client.add_server("127.0.0.1", std::to_string(up.servers[0]->port()));
    client.connect(500);
    memcache::connection& server = client.select_server(0);
    EXPECT_TRUE(server.connected);
    ASSERT_TRUE(server.socket);
    EXPECT_TRUE(server.socket->is_open());

    client.mark_down(server);
    EXPECT_FALSE(server.connected);
    EXPECT_FALSE(server.socket);
    EXPECT_THROW(client.select_server(0), memcache::no_available_servers);

    client.connect(500);
    EXPECT_TRUE(client.select_server(0).connected);
    EXPECT_TRUE(kvtest::eventually([&] { return up.servers[0]->accepted() == 2; }));
}

TEST(select_server, fails_over_in_name_order_and_wraps_around) {
    listeners up(3);
    memcache::client client;
    for (const auto& server : up.servers) client.add_server("127.0.0.1", std::to_string(server->port()));
    client.connect(500);
    std::vector<memcache::connection*> by_name;
    for (std::uint64_t i = 0; i < 3; ++i) by_name.push_back(&client.select_server(i));
    for (std::uint64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(by_name[i], &std::next(client.servers().begin(), static_cast<long>(i))->second);
    }
    EXPECT_THROW(client.select_server(3), memcache::offset_out_of_bounds);

    client.mark_down(*by_name[1]);
    EXPECT_EQ(&client.select_server(1), by_name[2]);  // the next one
    client.mark_down(*by_name[2]);
    EXPECT_EQ(&client.select_server(1), by_name[0]);  // past the last, from the first
    EXPECT_EQ(&client.select_server(2), by_name[0]);
    EXPECT_EQ(&client.select_server(0), by_name[0]);
    client.mark_down(*by_name[0]);
    EXPECT_THROW(client.select_server(0), memcache::no_available_servers);
    try {
        client.select_server(7);
    } catch (const memcache::offset_out_of_bounds& e) {
        EXPECT_STREQ(e.what(), "Offset out of bounds: 7");
    }
}

}  // namespace
