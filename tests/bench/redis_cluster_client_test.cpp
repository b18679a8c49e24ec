#include <bench/clients/factory.hpp>
#include <bench/clients/redis_cluster_client.hpp>
#include <bench/cluster/cluster.hpp>
#include <bench/endpoint.hpp>
#include <bench/run/start.hpp>

#include <support/process.hpp>
#include <support/redis_cluster.hpp>
#include <support/servers.hpp>

#include "allocation_meter.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

bench::endpoint loopback(std::uint16_t port) {
    return bench::parse_endpoint("127.0.0.1:" + std::to_string(port)).first;
}

bench::client_options cluster_options(const kvtest::redis_cluster& cluster) {
    bench::client_options options;
    for (std::size_t i = 0; i < cluster.size(); ++i) options.servers.push_back(loopback(cluster.port(i)));
    options.redis_cluster = true;
    return options;
}

std::unique_ptr<bench::redis_cluster_client> connect(const bench::client_options& options) {
    return std::make_unique<bench::redis_cluster_client>(options.servers.front(), options);
}

// The node of the cluster that serves the slot, as the client's map says.
std::size_t owner(const kvtest::redis_cluster& cluster, const bench::redis_cluster_client& client,
                  std::uint16_t slot) {
    const std::uint16_t port = client.master_of(slot).tcp().port();
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        if (cluster.port(i) == port) return i;
    }
    throw std::logic_error("the map names a node outside the cluster");
}

TEST(RedisClusterSlot, KeysHashAsRedisClusterDefines) {
    EXPECT_EQ(bench::crc16_xmodem("123456789"), 0x31C3);
    EXPECT_EQ(bench::crc16_xmodem(""), 0);
    // Slots as CLUSTER KEYSLOT gives them.
    const struct {
        const char* key;
        std::uint16_t slot;
    } slots[] = {{"foo", 12182}, {"bar", 5061}, {"somekey", 11058}, {"", 0}};
    for (const auto& c : slots) EXPECT_EQ(bench::redis_cluster_slot(c.key), c.slot) << c.key;
    // Hash tags: the key, and the bytes that hash in its place.
    const struct {
        const char* key;
        const char* hashed;
    } tags[] = {
        {"{user1000}.following", "user1000"},
        {"{user1000}.followers", "user1000"},
        {"foo{bar}{zap}", "bar"},      // the first tag only
        {"foo{{bar}}zap", "{bar"},     // up to the first '}' after the first '{'
        {"foo{}{bar}", "foo{}{bar}"},  // an empty tag: the whole key
        {"foo{bar", "foo{bar"},        // no closing brace
        {"foo}bar{", "foo}bar{"},      // no '}' after the '{'
        {"{a}", "a"},
    };
    for (const auto& c : tags) {
        EXPECT_EQ(bench::redis_cluster_slot(c.key), bench::crc16_xmodem(c.hashed) % 16384)
            << c.key;
    }
}

TEST(RedisClusterClient, SendsEveryKeyToItsMasterWithoutRedirection) {
    kvtest::redis_cluster cluster(3);
    // The first server cannot be reached: the map comes from the next one.
    bench::client_options options = cluster_options(cluster);
    options.servers.insert(options.servers.begin(), loopback(kvtest::free_port()));
    const auto made = bench::make_client(bench::protocol_type::redis, options.servers.front(),
                                         options);
    auto* client = dynamic_cast<bench::redis_cluster_client*>(made.get());
    ASSERT_NE(client, nullptr);
    EXPECT_STREQ(client->protocol_name(), "redis");
    EXPECT_EQ(client->masters(), 3u);

    constexpr int keys = 300;
    std::string read;
    for (int i = 0; i < keys; ++i) client->put("key:" + std::to_string(i), "value " + std::to_string(i));
    for (int i = 0; i < keys; ++i) {
        client->get("key:" + std::to_string(i), read, 0);
        ASSERT_EQ(read, "value " + std::to_string(i));
    }
    EXPECT_TRUE(client->try_update("key:1", "new"));
    EXPECT_TRUE(client->try_get("key:1", read));
    EXPECT_EQ(read, "new");
    EXPECT_TRUE(client->try_remove("key:2"));
    EXPECT_FALSE(client->try_remove("key:2"));
    EXPECT_FALSE(client->try_get("key:2", read));

    long long held = 0;
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        const long long here = cluster.dbsize(i);
        EXPECT_GT(here, 0) << cluster.endpoint(i);
        held += here;
    }
    EXPECT_EQ(held, keys - 1);
    EXPECT_EQ(client->redirections(), (bench::redirection_counts{0, 0}));

    // Once every connection's buffers have grown, an operation allocates
    // nothing, whichever master it goes to.
    const std::string value(1024, 'v');
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i) names.push_back("steady:" + std::to_string(i));
    for (const std::string& name : names) {
        client->put(name, value);
        client->get(name, read, value.size());
    }
    const kvtest::allocation_meter meter;
    for (const std::string& name : names) {
        client->put(name, value);
        client->get(name, read, value.size());
        client->try_get(name, read);
    }
    EXPECT_EQ(meter.peak(), 0u);

    // The run's framing says how many masters the cluster has.
    const kvtest::temp_dir dir;
    bench::run_settings settings;
    settings.protocol = bench::protocol_type::redis;
    settings.daemon = options.servers.front();
    settings.clients = options;
    settings.test_file = dir.write("suite.cfg", "tests\n{\n    multiple_put\n    {\n        size 8\n"
                                                "        count 1\n    }\n}\n");
    const auto ranks = bench::single_process_cluster();
    std::ostringstream framing, err;
    EXPECT_TRUE(bench::set_up_run(*ranks, settings, {}, framing, err));
    std::string connecting;
    for (const bench::endpoint& server : options.servers)
        connecting += "connecting to " + bench::endpoint_text(server) + "\n";
    EXPECT_EQ(framing.str(), "loading test file: " + settings.test_file + "...\n" + connecting +
                                 "cluster of 3 masters\n");
}

TEST(RedisClusterClient, FollowsASlotMovedDuringUseAndCountsTheRedirections) {
    kvtest::redis_cluster cluster(3);
    auto client = connect(cluster_options(cluster));
    // Keys of one slot, by their hash tag.
    const std::uint16_t slot = bench::redis_cluster_slot("{moving}");
    const auto key = [](int i) { return "{moving}:" + std::to_string(i); };
    for (int i = 0; i < 20; ++i) client->put(key(i), "v" + std::to_string(i));
    const std::size_t from = owner(cluster, *client, slot);
    const std::size_t to = (from + 1) % cluster.size();

    // Half the keys move: those ask to be fetched from the importing node.
    cluster.begin_move(slot, from, to);
    cluster.migrate_keys(slot, from, to, 10);
    std::string read;
    for (int i = 0; i < 20; ++i) {
        client->get(key(i), read, 0);
        EXPECT_EQ(read, "v" + std::to_string(i));
    }
    EXPECT_EQ(client->redirections(), (bench::redirection_counts{0, 10}));
    // A new key of a migrating slot goes to the importing node too.
    client->put(key(20), "v20");
    EXPECT_EQ(client->redirections(), (bench::redirection_counts{0, 11}));

    // The slot changes hands: one MOVED, then the map sends the keys there.
    cluster.migrate_keys(slot, from, to, 100);
    cluster.finish_move(slot, to);
    for (int i = 0; i <= 20; ++i) {
        client->get(key(i), read, 0);
        EXPECT_EQ(read, "v" + std::to_string(i));
    }
    EXPECT_EQ(client->redirections(), (bench::redirection_counts{1, 11}));
    EXPECT_EQ(owner(cluster, *client, slot), to);
    EXPECT_EQ(cluster.cli(to, {"CLUSTER", "COUNTKEYSINSLOT", std::to_string(slot)}), "21\n");
}

TEST(RedisClusterClient, LogsInOnEveryNode) {
    kvtest::redis_cluster cluster(3, "cluster secret");
    bench::client_options options = cluster_options(cluster);
    options.redis_login = bench::redis_credentials{"", "cluster secret"};
    auto client = connect(options);
    EXPECT_EQ(client->masters(), 3u);
    std::string read;
    for (int i = 0; i < 30; ++i) {
        client->put("login:" + std::to_string(i), "v");
        client->get("login:" + std::to_string(i), read, 1);
    }
    for (std::size_t i = 0; i < cluster.size(); ++i) EXPECT_GT(cluster.dbsize(i), 0);

    // A wrong password is refused on the map's first reading already.
    options.redis_login = bench::redis_credentials{"", "wrong"};
    try {
        connect(options);
        ADD_FAILURE() << "a client with a wrong password was made";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("redis authentication failed: "),
                  std::string::npos)
            << error.what();
    }
}

TEST(RedisClusterClient, UnreachableNodesFailWithTheNodeNamed) {
    kvtest::redis_cluster cluster(3);
    auto client = connect(cluster_options(cluster));
    const std::uint16_t slot = bench::redis_cluster_slot("lost");
    const std::size_t lost = owner(cluster, *client, slot);
    const std::string where = cluster.endpoint(lost);
    client->put("lost", "value");
    cluster.stop(lost);
    // The connection breaks first, then the node refuses a new one: either
    // way the message names it after the operation's own.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            client->put("lost", "value");
            ADD_FAILURE() << "a put to a stopped node succeeded";
        } catch (const std::runtime_error& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("could not put entry: ", 0), 0u) << message;
            EXPECT_NE(message.find(where), std::string::npos) << message;
        }
    }

    // No server answers: no client.
    bench::client_options nowhere;
    nowhere.servers = {loopback(kvtest::free_port())};
    nowhere.redis_cluster = true;
    try {
        connect(nowhere);
        ADD_FAILURE() << "a client without a cluster was made";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Cannot connect to redis cluster: ", 0), 0u)
            << error.what();
    }
}

}  // namespace
