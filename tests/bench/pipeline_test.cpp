// Mix tests over many connections per thread with many requests in flight:
// on real servers, the connections the server sees and the figures; on a
// scripted server, a pipeline kept full and a connection closed under it.

#include <bench/cluster/cluster.hpp>
#include <bench/clients/memcached_client.hpp>
#include <bench/clients/redis_cluster_client.hpp>
#include <bench/run/start.hpp>
#include <bench/interrupt.hpp>
#include <bench/pipeline/connection_set.hpp>
#include <bench/runner.hpp>
#include <bench/test_spec.hpp>
#include <bench/thread_context.hpp>
#include <bench/workload/mix.hpp>
#include <bench/workload/mix_key.hpp>

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/redis_cluster.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <boost/accumulators/statistics/count.hpp>
#include <boost/asio/ip/address_v4.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bench::operation;
namespace acc = boost::accumulators;

bench::run_settings pipelined_settings(bench::protocol_type protocol, std::uint16_t port,
                                       int threads, std::uint32_t connections,
                                       std::uint32_t pipeline)
{
    bench::run_settings settings;
    settings.protocol = protocol;
    settings.threads = threads;
    settings.daemon = bench::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port);
    settings.connections = connections;
    settings.pipeline = pipeline;
    return settings;
}

// Every operation over a key space each thread loads its share of.
bench::mix every_operation(std::uint64_t count)
{
    bench::mix test;
    test.keys = 500;
    test.size_min = 100;
    test.size_max = 300;
    test.weights = {40, 15, 15, 10, 20};
    test.count = count;
    test.seed = 11;
    test.load = true;
    test.key_prefix = "pipelined:";
    return test;
}

std::uint64_t number_after(const std::string& text, const std::string& label)
{
    std::smatch found;
    if (!std::regex_search(text, found, std::regex(label + "[ :](\\d+)"))) return 0;
    return std::stoull(found[1]);
}

// Two threads of 8 connections with 16 requests in flight each: the server
// sees 16 connections, every step is counted once, every read checked.
// `accepted` tells the connections the server has accepted so far, the one
// it asks on included.
void check_threads_drive_their_connections(bench::protocol_type protocol,
                                           const kvtest::server_process& server,
                                           const std::function<std::uint64_t()>& accepted)
{
    // memcached counts a connection in a worker thread after it answered
    // others: the count is settled once two questions in a row differ by the
    // one connection the second came on.
    std::uint64_t before = accepted();
    ASSERT_TRUE(kvtest::eventually([&] {
        const std::uint64_t last = before;
        before = accepted();
        return before == last + 1;
    }));
    int asked = 0;
    const auto connections = [&] { return accepted() - before - ++asked; };
    const bench::run_settings settings = pipelined_settings(protocol, server.port(), 2, 8, 16);
    std::vector<std::unique_ptr<bench::thread_context>> contexts;
    for (std::uint32_t t = 0; t < 2; ++t)
        contexts.push_back(std::make_unique<bench::thread_context>(settings, t));
    // A server counts a connection once it accepted it, which may come
    // after the client's connect returned.
    std::uint64_t seen = 0;
    EXPECT_TRUE(kvtest::eventually([&] { return (seen = connections()) == 16; })) << seen;

    const bench::mix test = every_operation(3000);
    std::vector<bench::test_result> results(2);
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::ostringstream out, err;
            results[t] = bench::run_test(*contexts[t], test, out, err);
        });
    }
    for (auto& thread : threads) thread.join();
    for (const bench::test_result& result : results) {
        SCOPED_TRACE(result.thread_number);
        ASSERT_TRUE(result.success) << result.failure;
        std::uint64_t steps = 0;
        for (const auto& figures : result.operations) {
            ASSERT_TRUE(figures);
            steps += figures->steps;
            if (&figures != &result.operations[static_cast<std::size_t>(operation::put)]) {
                EXPECT_EQ(figures->hits + figures->misses, figures->steps);
            }
        }
        EXPECT_EQ(steps, 3000u);
        EXPECT_EQ(acc::count(result.timings), 3000u);
        EXPECT_GT(result.operations[0]->hits, 0u) << "reads hit the loaded keys";
    }
    EXPECT_EQ(connections(), 16u) << "no connection was made again";
}

TEST(Pipeline, ThreadsDriveTheirConnectionsOnRedis)
{
    const auto redis = kvtest::server_process::redis();
    check_threads_drive_their_connections(bench::protocol_type::redis, redis, [&] {
        return number_after(redis.ask("INFO stats\r\n", "\r\n\r\n"),
                            "total_connections_received");
    });
}

TEST(Pipeline, ThreadsDriveTheirConnectionsOnMemcached)
{
    const auto memcached = kvtest::server_process::memcached();
    check_threads_drive_their_connections(bench::protocol_type::memcached, memcached, [&] {
        return number_after(memcached.ask("stats\r\n", "END\r\n"), "STAT total_connections");
    });
}

// A pool of three memcached servers: each thread connects to every server,
// each step goes where the memcache library's own client sends its key (a
// blocking pool client finds every loaded key), and every server holds a
// share. A server that is down fails the start with its endpoint.
TEST(Pipeline, APoolsStepsGoWhereTheLibraryChoosesOnConnectionsToEveryServer)
{
    std::vector<kvtest::server_process> pool;
    for (int i = 0; i < 3; ++i) pool.push_back(kvtest::server_process::memcached());
    const auto items_on = [](const kvtest::server_process& server) {
        return number_after(server.ask("stats\r\n", "END\r\n"), "STAT curr_items");
    };
    bench::run_settings settings =
        pipelined_settings(bench::protocol_type::memcached, pool[0].port(), 2, 2, 8);
    for (const auto& server : pool)
        settings.clients.servers.push_back(
            bench::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), server.port()));
    std::vector<std::unique_ptr<bench::thread_context>> contexts;
    for (std::uint32_t t = 0; t < 2; ++t)
        contexts.push_back(std::make_unique<bench::thread_context>(settings, t));
    EXPECT_EQ(contexts[0]->connections->size(), 6u);

    const bench::mix test = every_operation(3000);
    bench::mix reads = test;  // leave every loaded key in place
    reads.weights = {1, 0, 0, 0, 0};
    const bench::mix* const runs[] = {&test, &reads};
    for (const bench::mix* run : runs) {
        std::vector<bench::test_result> results(2);
        std::vector<std::thread> threads;
        for (std::uint32_t t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                std::ostringstream out, err;
                results[t] = bench::run_test(*contexts[t], *run, out, err);
            });
        }
        for (auto& thread : threads) thread.join();
        for (const bench::test_result& result : results) {
            ASSERT_TRUE(result.success) << result.failure;
            EXPECT_EQ(acc::count(result.timings), 3000u);
        }
    }
    std::uint64_t stored = 0;
    for (const auto& server : pool) {
        EXPECT_GT(items_on(server), 0u) << server.endpoint();
        stored += items_on(server);
    }
    EXPECT_EQ(stored, test.keys);
    bench::client_options options;
    options.servers = settings.clients.servers;
    bench::memcached_client reader(settings.daemon, options);
    std::string key, value;
    for (std::uint64_t number = 0; number < test.keys; ++number) {
        bench::format_key(test.key_prefix, number, key);
        EXPECT_TRUE(reader.try_get(key, value)) << key;
    }

    const std::uint16_t closed = kvtest::free_port();
    settings.clients.servers[1] =
        bench::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), closed);
    try {
        bench::thread_context refused(settings, 0);
        ADD_FAILURE() << "a server that is down was connected";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot connect to memcached server 127.0.0.1:" +
                                                 std::to_string(closed) +
                                                 ": Connection refused");
    }
}

// A run's settings for the cluster: its nodes listed, the first the daemon.
bench::run_settings cluster_settings(const kvtest::redis_cluster& cluster, int threads,
                                     std::uint32_t connections, std::uint32_t pipeline)
{
    bench::run_settings settings =
        pipelined_settings(bench::protocol_type::redis, cluster.port(0), threads, connections,
                           pipeline);
    for (std::size_t i = 0; i < cluster.size(); ++i)
        settings.clients.servers.push_back(
            bench::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), cluster.port(i)));
    settings.clients.redis_cluster = true;
    return settings;
}

// Two threads over a three-master cluster: connections to every master,
// every key on its slot's master (none redirected), and the framing says so.
TEST(Pipeline, AClustersStepsGoToTheirSlotsMasters)
{
    kvtest::redis_cluster cluster(3);
    const bench::run_settings settings = cluster_settings(cluster, 2, 2, 8);
    std::vector<std::unique_ptr<bench::thread_context>> contexts;
    for (std::uint32_t t = 0; t < 2; ++t)
        contexts.push_back(std::make_unique<bench::thread_context>(settings, t));
    EXPECT_EQ(contexts[0]->connections->size(), 6u);
    std::vector<bench::test_result> results(2);
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::ostringstream out, err;
            results[t] = bench::run_test(*contexts[t], every_operation(3000), out, err);
        });
    }
    for (auto& thread : threads) thread.join();
    for (const bench::test_result& result : results) {
        ASSERT_TRUE(result.success) << result.failure;
        EXPECT_EQ(acc::count(result.timings), 3000u);
        EXPECT_GT(result.operations[0]->hits, 0u);
        EXPECT_EQ(result.redirections, (bench::redirection_counts{0, 0}));
    }
    for (std::size_t i = 0; i < cluster.size(); ++i) EXPECT_GT(cluster.dbsize(i), 0) << i;

    const kvtest::temp_dir dir;
    bench::run_settings run = settings;
    run.test_file = dir.write("mix.cfg", "tests\n{\n    mix\n    {\n        keys 10\n"
                                         "        size 32\n        get 1\n        count 5\n"
                                         "    }\n}\n");
    const auto ranks = bench::single_process_cluster();
    std::ostringstream framing, err;
    EXPECT_TRUE(bench::set_up_run(*ranks, run, {}, framing, err));
    EXPECT_NE(framing.str().find("cluster of 3 masters\nusing 12 connections (2 per thread to "
                                 "each of 3 masters), up to 8 requests in flight on each\n"),
              std::string::npos)
        << framing.str();
}

// The keys of one slot (one hash tag) while the slot migrates: the keys
// already moved are asked of the importing node; once the slot changed
// hands, the steps in flight to the old master are MOVED and the map sends
// the next ones to the new one.
TEST(Pipeline, AClusterSlotMovedBetweenTestsIsFollowed)
{
    kvtest::redis_cluster cluster(3);
    bench::thread_context context(cluster_settings(cluster, 1, 2, 8), 0);
    bench::mix test = every_operation(2000);
    test.key_prefix = "{moving}:";
    test.keys = 200;
    const auto run = [&](const bench::mix& mix) {
        std::ostringstream out, err;
        return bench::run_test(context, mix, out, err);
    };
    const bench::test_result loaded = run(test);
    ASSERT_TRUE(loaded.success) << loaded.failure;
    EXPECT_EQ(loaded.redirections, (bench::redirection_counts{0, 0}));
    std::size_t from = 0;
    while (from < cluster.size() && cluster.dbsize(from) == 0) ++from;
    ASSERT_LT(from, cluster.size());
    const std::size_t to = (from + 1) % cluster.size();
    const int slot = bench::redis_cluster_slot("{moving}");

    test.load = false;
    cluster.begin_move(slot, from, to);
    cluster.migrate_keys(slot, from, to, 60);
    const bench::test_result asked = run(test);
    ASSERT_TRUE(asked.success) << asked.failure;
    ASSERT_TRUE(asked.redirections);
    EXPECT_GT(asked.redirections->ask, 0u);
    EXPECT_EQ(asked.redirections->moved, 0u);

    cluster.migrate_keys(slot, from, to, 1000);
    cluster.finish_move(slot, to);
    const bench::test_result moved = run(test);
    ASSERT_TRUE(moved.success) << moved.failure;
    ASSERT_TRUE(moved.redirections);
    EXPECT_GT(moved.redirections->moved, 0u);
    EXPECT_LE(moved.redirections->moved, 16u) << "at most the steps in flight to the old master";
    EXPECT_EQ(acc::count(moved.timings), 2000u);
    EXPECT_EQ(cluster.dbsize(from), 0);
    EXPECT_GT(cluster.dbsize(to), 0);
    const bench::test_result after = run(test);
    ASSERT_TRUE(after.success) << after.failure;
    EXPECT_EQ(after.redirections, (bench::redirection_counts{0, 0}));
}

// The RESP GET requests in the bytes.
std::size_t gets_in(const std::string& bytes)
{
    std::size_t count = 0;
    for (std::size_t at = bytes.find("GET"); at != std::string::npos; at = bytes.find("GET", at + 1))
        ++count;
    return count;
}

// A server that answers nothing until a whole pipeline of GETs came: a
// client that kept fewer in flight would wait for it until its limit.
TEST(Pipeline, AServerThatWaitsForAWholePipelineGetsOne)
{
    constexpr std::size_t depth = 16;
    std::atomic<std::size_t> most{0};
    kvtest::fake_server server([&](kvtest::fake_connection& c) {
        for (;;) {
            std::string received;
            while (gets_in(received) < depth) {
                const std::string more = c.read_until("\r\n");
                if (more.empty()) return;
                received += more;
            }
            // Requests end in the key's line; the last may not be whole yet.
            c.read_until("\r\n");
            most = std::max<std::size_t>(most, gets_in(received));
            std::string replies;
            for (std::size_t i = 0; i < gets_in(received); ++i) replies += "$-1\r\n";
            c.send(replies);
        }
    });
    bench::thread_context context(
        pipelined_settings(bench::protocol_type::redis, server.port(), 1, 1, depth), 0);
    bench::mix test = every_operation(depth * 8);
    test.load = false;
    test.weights = {1, 0, 0, 0, 0};
    std::ostringstream out, err;
    const bench::test_result result = bench::run_test(context, test, out, err);
    ASSERT_TRUE(result.success) << result.failure;
    EXPECT_EQ(result.operations[0]->misses, depth * 8);
    EXPECT_EQ(most.load(), depth);
}

// The first connection closes after a few requests: the thread's test fails
// with the connection named, and its next test connects again and passes.
TEST(Pipeline, AConnectionClosedUnderItsPipelineFailsItsTestAndTheNextOneRuns)
{
    std::atomic<int> connection{0};
    kvtest::fake_server server([&](kvtest::fake_connection& c) {
        const bool first = connection++ == 0;
        for (int requests = 0;; ++requests) {
            if (c.read_until("GET").empty()) return;
            if (first && requests == 3) return;
            c.read_until("\r\n");
            c.read_until("\r\n");
            c.read_until("\r\n");
            c.send("$-1\r\n");
        }
    });
    bench::thread_context context(
        pipelined_settings(bench::protocol_type::redis, server.port(), 1, 2, 4), 0);
    bench::mix test = every_operation(200);
    test.load = false;
    test.weights = {1, 0, 0, 0, 0};
    std::ostringstream out, err;
    const bench::test_result failed = bench::run_test(context, test, out, err);
    EXPECT_FALSE(failed.success);
    // The server's scripts run on threads of their own: either connection
    // may be the one it takes for its first.
    EXPECT_TRUE(std::regex_match(failed.failure,
                                 std::regex(R"(connection closed by the server \(connection [12] of 2\))")))
        << failed.failure;
    const bench::test_result next = bench::run_test(context, test, out, err);
    EXPECT_TRUE(next.success) << next.failure;
    EXPECT_EQ(next.operations[0]->misses, 200u);
    EXPECT_EQ(server.accepted(), 4u) << "both connections were made again";
}

// A memcached that reads its requests and never answers: the steps fail at
// the client's limit, counted from their write.
TEST(Pipeline, RepliesThatNeverComeFailTheTestAtTheLimit)
{
    kvtest::fake_server server([](kvtest::fake_connection& c) { c.stall(5s); });
    bench::thread_context context(
        pipelined_settings(bench::protocol_type::memcached, server.port(), 1, 1, 4), 0);
    bench::mix test = every_operation(100);
    test.load = false;
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const bench::test_result result = bench::run_test(context, test, out, err);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.failure, "no reply within 500 ms");
    EXPECT_GE(took, 500ms);
    EXPECT_LT(took, 1500ms);
}

// A stop ends the drawing of steps; those in flight are taken, so that the
// connections stay in step and the next test uses them as they are.
TEST(Pipeline, AStopEndsTheTestOnceTheStepsInFlightAreDone)
{
    const auto redis = kvtest::server_process::redis();
    bench::thread_context context(
        pipelined_settings(bench::protocol_type::redis, redis.port(), 2, 4, 8), 0);
    bench::mix test = every_operation(0);
    test.duration = 30;
    std::ostringstream out, err;
    std::thread stopper([] {
        std::this_thread::sleep_for(300ms);
        bench::request_interrupt(SIGINT);
    });
    const auto start = std::chrono::steady_clock::now();
    const bench::test_result stopped = bench::run_test(context, test, out, err);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    bench::detail::interrupt_signal = 0;
    EXPECT_FALSE(stopped.success);
    EXPECT_EQ(stopped.failure, "interrupted");
    const bench::test_result next = bench::run_test(context, every_operation(500), out, err);
    EXPECT_TRUE(next.success) << next.failure;
}

// Open loop: the thread's rate spread over its connections, each step timed
// from when it was due.
TEST(Pipeline, AScheduleIsKeptOverTheConnections)
{
    const auto redis = kvtest::server_process::redis();
    bench::run_settings settings = pipelined_settings(bench::protocol_type::redis, redis.port(),
                                                      2, 3, 4);
    settings.rate = 4000;
    bench::thread_context context(settings, 0);
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const bench::test_result result = bench::run_test(context, every_operation(400), out, err);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(result.success) << result.failure;
    ASSERT_TRUE(result.open_loop);
    EXPECT_EQ(acc::count(result.timings), 400u);
    EXPECT_GE(took, 99ms) << "400 steps at 4000 a second";
    EXPECT_LT(took, 2s);
}

// The other kinds' steps are operations that depend on each other: a suite
// that holds one is refused before anything connects.
TEST(Pipeline, ASuiteWithAnotherKindIsRefusedBeforeTheRun)
{
    const kvtest::temp_dir dir;
    const std::string suite = dir.write(
        "suite.cfg", "tests\n{\n    mix\n    {\n        keys 10\n        size 32\n"
                     "        get 1\n        count 5\n    }\n"
                     "    multiple_put\n    {\n        size 64\n        count 20\n    }\n}\n");
    bench::run_settings settings = pipelined_settings(bench::protocol_type::redis, 1, 1, 1, 2);
    settings.test_file = suite;
    const auto ranks = bench::single_process_cluster();
    std::ostringstream out, err;
    EXPECT_FALSE(bench::set_up_run(*ranks, settings, {}, out, err));
    EXPECT_EQ(err.str(), "Error in benchmark: --connections and --pipeline above 1 run mix tests "
                         "only, and test 2 of " + suite + " is multiple_put\n");
    // Without the other kind, the framing says what the run keeps in flight.
    settings.test_file = dir.write(
        "mix.cfg", "tests\n{\n    mix\n    {\n        keys 10\n        size 32\n"
                   "        get 1\n        count 5\n    }\n}\n");
    settings.threads = 3;
    settings.connections = 4;
    std::ostringstream framing;
    EXPECT_TRUE(bench::set_up_run(*ranks, settings, {}, framing, err));
    EXPECT_EQ(framing.str(), "loading test file: " + settings.test_file +
                                 "...\nconnecting to 127.0.0.1:1\nusing 12 connections (4 per "
                                 "thread), up to 2 requests in flight on each\n");
    // A memcached pool's threads connect to every server.
    settings.protocol = bench::protocol_type::memcached;
    settings.clients.servers = {settings.daemon, bench::endpoint(
                                                     boost::asio::ip::make_address_v4("127.0.0.1"), 2)};
    std::ostringstream pool_framing;
    EXPECT_TRUE(bench::set_up_run(*ranks, settings, {}, pool_framing, err));
    EXPECT_EQ(pool_framing.str(),
              "loading test file: " + settings.test_file +
                  "...\nconnecting to 127.0.0.1:1\nconnecting to 127.0.0.1:2\nusing 24 "
                  "connections (4 per thread to each of 2 servers), up to 2 requests in flight "
                  "on each\n");
}

}  // namespace
