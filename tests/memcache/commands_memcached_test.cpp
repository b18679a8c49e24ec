// The commands against a real memcached.

#include <memcache/client.hpp>
#include <memcache/commands.hpp>
#include <memcache/exceptions.hpp>

#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

class memcached_commands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<kvtest::server_process>(kvtest::server_process::memcached());
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        client_.add_server("127.0.0.1", std::to_string(server_->port()));
        client_.connect(500);
        ASSERT_TRUE(client_.select_server(0).connected);
    }

    // A key of this test only, so the cases do not see each other's entries.
    std::string key(const std::string& suffix = "") const {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string(info->name()) + "/" + suffix;
    }

    std::string get(const std::string& k) {
        std::string value = "stale";
        memcache::get_command(k, &value)(client_);
        return value;
    }
    void add(const std::string& k, const std::string& v) { memcache::add_command(k, v, 0, 0)(client_); }
    void replace(const std::string& k, const std::string& v) {
        memcache::replace_command(k, v, 0, 0)(client_);
    }
    void set(const std::string& k, const std::string& v) {
        memcache::set_command(k, v, 0, 0)(client_);
    }
    void remove(const std::string& k) { memcache::delete_command{k}(client_); }

    static std::unique_ptr<kvtest::server_process> server_;
    memcache::client client_;
};

std::unique_ptr<kvtest::server_process> memcached_commands::server_;

template <typename Exception, typename Call>
std::string message_of(Call call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(returned)";
}

TEST_F(memcached_commands, add_stores_only_a_new_key) {
    const std::string k = key();
    add(k, "abc");
    EXPECT_EQ(get(k), "abc");
    EXPECT_EQ(message_of<memcache::key_not_stored>([&] { add(k, "xyz"); }), "Key not stored: " + k);
    EXPECT_EQ(get(k), "abc");
}

TEST_F(memcached_commands, replace_stores_only_an_existing_key) {
    const std::string k = key();
    EXPECT_EQ(message_of<memcache::key_not_stored>([&] { replace(k, "x"); }), "Key not stored: " + k);
    add(k, "first");
    replace(k, "second");
    EXPECT_EQ(get(k), "second");
}

TEST_F(memcached_commands, set_stores_whether_or_not_the_key_exists) {
    const std::string k = key();
    set(k, "first");
    EXPECT_EQ(get(k), "first");
    set(k, "second");
    EXPECT_EQ(get(k), "second");
    remove(k);
    set(k, "again");
    EXPECT_EQ(get(k), "again");
}

TEST_F(memcached_commands, delete_and_get_of_a_missing_key_raise_key_not_found) {
    const std::string k = key();
    add(k, "v");
    remove(k);
    EXPECT_EQ(message_of<memcache::key_not_found>([&] { remove(k); }), "Key not found: " + k);
    EXPECT_EQ(message_of<memcache::key_not_found>([&] { get(k); }), "Key not found: " + k);
    EXPECT_TRUE(client_.select_server(0).connected);
}

TEST_F(memcached_commands, a_miss_leaves_the_destination_alone) {
    std::string value = "kept";
    EXPECT_THROW(memcache::get_command(key(), &value)(client_), memcache::key_not_found);
    EXPECT_EQ(value, "kept");
}

std::string every_byte() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST_F(memcached_commands, values_come_back_byte_for_byte) {
    const std::vector<std::string> values = {
        "",
        "abc",
        "a\r\nb",
        "\r\n",
        "END\r\n",
        "END\r\nX",
        "\r\nEND\r\n",
        "VALUE k 0 1\r\nx\r\nEND\r\n",
        "ERROR\r\n",
        "SERVER_ERROR x\r\n",
        "a\0b"s,
        std::string(3, '\0'),
        every_byte(),
        std::string(500 * 1000, 'x') + "\r\nEND\r\n",
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string k = key(std::to_string(i));
        add(k, values[i]);
        EXPECT_EQ(get(k), values[i]) << i;
        replace(k, values[i] + values[i]);
        EXPECT_EQ(get(k), values[i] + values[i]) << i;
    }
}

TEST_F(memcached_commands, keys_with_high_bytes_round_trip) {
    const std::string k = key("\xc3\xa9");
    add(k, "accent");
    EXPECT_EQ(get(k), "accent");
    remove(k);
}

TEST_F(memcached_commands, a_value_over_the_item_size_limit_is_not_stored_and_the_stream_stays_in_step) {
    const std::string k = key();
    const std::string too_large(2 * 1024 * 1024, 'x');
    // The server's own words follow the message.
    const std::string refused =
        "Key not stored: " + k + " (SERVER_ERROR object too large for cache)";
    EXPECT_EQ(message_of<memcache::key_not_stored>([&] { add(k, too_large); }), refused);
    EXPECT_EQ(message_of<memcache::key_not_stored>([&] { set(k, too_large); }), refused);
    EXPECT_TRUE(client_.select_server(0).connected);
    EXPECT_THROW(get(k), memcache::key_not_found);
    add(k, "small");
    EXPECT_EQ(get(k), "small");
}

TEST_F(memcached_commands, an_overlong_key_is_refused_before_sending_and_the_stream_stays_in_step) {
    const std::string k = key();
    const std::string long_key = k + std::string(251, 'k');
    EXPECT_THROW(add(long_key, "v"), memcache::invalid_key);
    EXPECT_THROW(get(long_key), memcache::invalid_key);
    add(k, "v");
    EXPECT_EQ(get(k), "v");
    remove(k);
}

TEST_F(memcached_commands, only_the_low_16_bits_of_the_flags_are_sent) {
    const std::string k = key();
    memcache::add_command(k, "v", 0, 0x12345)(client_);
    const std::string reply = server_->ask("get " + k + "\r\n", "END\r\n");
    EXPECT_EQ(reply, "VALUE " + k + " 9029 1\r\nv\r\nEND\r\n");  // 0x2345
}

// A server on a UNIX-domain socket beside a TCP one: the same commands, keys
// hashed over both by name, failover from one to the other.
TEST(local_server, takes_its_share_of_the_keys_and_fails_over_to_tcp) {
    kvtest::temp_dir dir;
    const auto local = kvtest::server_process::memcached_on_socket(dir.path() + "/memcached.sock");
    const auto tcp = kvtest::server_process::memcached();
    memcache::client client;
    client.add_local_server(local.socket_path());
    client.add_server("127.0.0.1", std::to_string(tcp.port()));
    client.connect(500);
    ASSERT_EQ(std::next(client.servers().begin())->first, "unix:" + local.socket_path());

    // Keys until each server is home to one; each lands on its home server.
    std::string on_server[2];
    for (int i = 0; on_server[0].empty() || on_server[1].empty(); ++i) {
        const std::string k = "local/" + std::to_string(i);
        const auto index = client.server_index(k);
        if (!on_server[index].empty()) continue;
        on_server[index] = k;
        memcache::add_command(k, "v", 0, 0)(client);
        const auto& home = index == 0 ? tcp : local;
        EXPECT_EQ(home.ask("get " + k + "\r\n", "END\r\n"), "VALUE " + k + " 0 1\r\nv\r\nEND\r\n");
    }
    const std::string k = on_server[1];
    std::string value;
    memcache::replace_command(k, "local", 0, 0)(client);
    memcache::get_command(k, &value)(client);
    EXPECT_EQ(value, "local");
    memcache::delete_command{k}(client);
    EXPECT_THROW(memcache::get_command(k, &value)(client), memcache::key_not_found);

    client.mark_down(client.select_server(1));  // the local server
    memcache::add_command(k, "moved", 0, 0)(client);
    EXPECT_EQ(tcp.ask("get " + k + "\r\n", "END\r\n"), "VALUE " + k + " 0 5\r\nmoved\r\nEND\r\n");
}

}  // namespace
