// The mix kind: its fields in a suite file, its description, what its steps
// do and count, its duration and warm-up, threads that share a loaded key
// space on real servers, a value that is not the key's, and its trip to
// other ranks.

#include <bench/cluster/wire.hpp>
#include <bench/kinds.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/result_record.hpp>
#include <bench/runner.hpp>
#include <bench/test_spec.hpp>
#include <bench/thread_context.hpp>
#include <bench/workload/mix_key.hpp>
#include <bench/workload/mix_kind.hpp>

#include "recording_client.hpp"

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <boost/asio/ip/address_v4.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <numeric>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kvtest::recording_client;
using bench::operation;
namespace acc = boost::accumulators;

const std::string scale =
    "\n0%   10   20   30   40   50   60   70   80   90   100%\n"
    "|----|----|----|----|----|----|----|----|----|----|\n";

bench::mix small_mix()
{
    bench::mix test;
    test.keys = 50;
    test.size_min = test.size_max = 32;
    test.weights = {1, 0, 0, 0, 0};
    test.count = 10;
    test.seed = 7;
    test.key_prefix = "k:";
    return test;
}

const bench::operation_figures& figures_of(const bench::test_result& result, operation op)
{
    const auto& figures = result.operations[static_cast<std::size_t>(op)];
    if (!figures) throw std::logic_error("no figures for that operation");
    return *figures;
}

bench::run_settings settings_for(bench::protocol_type protocol, int threads,
                                 std::uint16_t port = 0)
{
    bench::run_settings settings;
    settings.protocol = protocol;
    settings.threads = threads;
    settings.daemon = bench::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port);
    return settings;
}

TEST(MixSuite, ReadsEveryFieldAndLeavesTheRestToItsDefaults)
{
    kvtest::temp_dir dir;
    const auto suite = bench::load_test_suite(dir.write("s.cfg", R"(tests
{
    multiple_put { size 1
                   count 2 }
    mix
    {
        keys 1000
        size_min 64
        size_max " 4096 "
        get 90
        put 1
        update 2
        remove 3
        read_modify_write 4
        distribution hotspot
        zipf_exponent 0.5
        hot_keys 0.1
        hot_share 0.95
        duration 2.5
        warmup 1e-1
        load 1
        seed 18446744073709551615
        key_prefix "bench:a:"
    }
    mix { keys 5
          size 16
          put 1
          count 0 }
}
)"));
    ASSERT_EQ(suite.size(), 3u);
    ASSERT_EQ(suite[1].which(), 5);
    EXPECT_STREQ(bench::kind_names[5], "mix");
    const auto& full = boost::get<bench::mix>(suite[1]);
    EXPECT_EQ(full.keys, 1000u);
    EXPECT_EQ(full.size_min, 64u);
    EXPECT_EQ(full.size_max, 4096u);
    EXPECT_EQ(full.weights, (std::array<std::uint32_t, 5>{90, 1, 2, 3, 4}));
    EXPECT_EQ(full.distribution, bench::key_distribution::hotspot);
    EXPECT_EQ(full.zipf_exponent, 0.5);
    EXPECT_EQ(full.hot_keys, 0.1);
    EXPECT_EQ(full.hot_share, 0.95);
    EXPECT_EQ(full.count, 0u);
    EXPECT_EQ(full.duration, 2.5);
    EXPECT_EQ(full.warmup, 0.1);
    EXPECT_TRUE(full.load);
    EXPECT_EQ(full.seed, 18446744073709551615u);
    EXPECT_EQ(full.key_prefix, "bench:a:");
    EXPECT_EQ(bench::kind_size(suite[1]), 4096u);
    EXPECT_EQ(bench::kind_count(suite[1]), 0u) << "a duration test has no count";

    const auto& least = boost::get<bench::mix>(suite[2]);
    EXPECT_EQ(least.size_min, 16u);
    EXPECT_EQ(least.size_max, 16u);
    EXPECT_EQ(least.weights, (std::array<std::uint32_t, 5>{0, 1, 0, 0, 0}));
    EXPECT_EQ(least.distribution, bench::key_distribution::uniform);
    EXPECT_EQ(least.zipf_exponent, 0.99);
    EXPECT_EQ(least.hot_keys, 0.2);
    EXPECT_EQ(least.hot_share, 0.8);
    EXPECT_EQ(least.duration, 0.0);
    EXPECT_EQ(least.warmup, 0.0);
    EXPECT_FALSE(least.load);
    EXPECT_TRUE(least.seed) << "drawn at load, so that every thread and rank shares it";
    EXPECT_EQ(least.key_prefix, bench::default_key_prefix());
}

TEST(MixSuite, RefusesABadFieldNamingItTheTestAndTheFile)
{
    const std::string base = "keys 10\n size 64\n get 1\n count 5\n";
    const struct {
        std::string fields;
        std::string message;  // before " (test 2 in PATH)"
    } cases[] = {
        {base + "sise 3\n", "mix field \"sise\": no such field"},
        {base + "get 2\n", "mix field \"get\": given more than once"},
        {"size 64\n get 1\n count 5\n", "mix field \"keys\": missing"},
        {"keys 0\n size 64\n get 1\n count 5\n", "mix field \"keys\": must be above 0"},
        {"keys -1\n size 64\n get 1\n count 5\n",
         "mix field \"keys\": \"-1\" is not an unsigned 64-bit integer"},
        {"keys 10\n size 64\n get 1\n count 1.5\n",
         "mix field \"count\": \"1.5\" is not an unsigned 64-bit integer"},
        {base + "size_min 16\n", "mix field \"size\": give size, or size_min and size_max, not both"},
        {"keys 10\n get 1\n count 5\n", "mix field \"size\": missing (or size_min and size_max)"},
        {"keys 10\n size_min 16\n get 1\n count 5\n",
         "mix field \"size_max\": missing (size_min is given)"},
        {"keys 10\n size 15\n get 1\n count 5\n",
         "mix field \"size\": 15 is below 16, the smallest value a mix writes"},
        {"keys 10\n size_min 100\n size_max 64\n get 1\n count 5\n",
         "mix field \"size_min\": 100 is above size_max, 64"},
        {"keys 10\n size 64\n get 0\n count 5\n",
         "mix fields get, put, update, remove and read_modify_write: at least one weight must "
         "be above 0"},
        {base + "put 4294967296\n", "mix field \"put\": 4294967296 is above 4294967295"},
        {base + "distribution pareto\n",
         "mix field \"distribution\": \"pareto\" is none of uniform, zipfian, sequential, "
         "latest, hotspot"},
        {base + "zipf_exponent 1\n", "mix field \"zipf_exponent\": 1 is not at least 0 and below 1"},
        {base + "hot_keys 1.5\n", "mix field \"hot_keys\": 1.5 is not from 0 to 1"},
        {base + "hot_share -0.1\n", "mix field \"hot_share\": -0.1 is not from 0 to 1"},
        {base + "duration 3\n",
         "mix fields \"count\" and \"duration\": give one of them, not both"},
        {"keys 10\n size 64\n get 1\n", "mix field \"count\": missing (or duration)"},
        {"keys 10\n size 64\n get 1\n duration 0\n",
         "mix field \"duration\": 0 is not above 0 and at most 10000000 seconds"},
        {"keys 10\n size 64\n get 1\n duration 2s\n",
         "mix field \"duration\": \"2s\" is not a decimal number"},
        {base + "warmup -1\n", "mix field \"warmup\": -1 is not from 0 to 10000000 seconds"},
        {base + "load 2\n", "mix field \"load\": \"2\" is neither 0 nor 1"},
        {base + "seed x\n", "mix field \"seed\": \"x\" is not an unsigned 64-bit integer"},
        {"keys 10\n size 64\n get { a 1 }\n count 5\n",
         "mix field \"get\": must be a value, not a block"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        kvtest::temp_dir dir;
        const std::string path = dir.write(
            "s.cfg", "tests {\n multiple_put { size 1\n count 1 }\n mix {\n " + c.fields + " }\n}\n");
        try {
            bench::load_test_suite(path);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), c.message + " (test 2 in " + path + ")");
        }
    }
}

TEST(MixKind, DescribesWhatItDoes)
{
    bench::mix zipfian = small_mix();
    zipfian.keys = 100000;
    zipfian.size_min = zipfian.size_max = 1024;
    zipfian.weights = {90, 0, 10, 0, 0};
    zipfian.distribution = bench::key_distribution::zipfian;
    zipfian.count = 0;
    zipfian.duration = 30;

    bench::mix thirds = small_mix();
    thirds.weights = {1, 1, 0, 0, 1};
    thirds.distribution = bench::key_distribution::hotspot;
    thirds.count = 1000;
    thirds.warmup = 2.5;

    bench::mix latest = small_mix();
    latest.weights = {95, 5, 0, 0, 0};
    latest.distribution = bench::key_distribution::latest;

    const struct {
        bench::mix test;
        const char* text;
    } cases[] = {
        {zipfian, "mix of 90 % get, 10 % update over 100000 keys of 1.0 KiB, zipfian 0.99, for 30 s"},
        {thirds,
         "mix of 33.3 % get, 33.3 % put, 33.3 % read_modify_write over 50 keys of 32.0 B, hotspot "
         "of 80 % on 20 % of the keys, 1000 steps per thread after 2.5 s of warm-up"},
        {latest, "mix of 95 % get, 5 % put over 50 keys of 32.0 B, latest with zipfian 0.99, 10 "
                 "steps per thread"},
    };
    for (const auto& c : cases) EXPECT_EQ(bench::describe(bench::test_spec(c.test)), c.text);

    bench::mix sizes = small_mix();
    sizes.size_min = 64;
    sizes.size_max = 1024;
    EXPECT_NE(bench::describe(sizes).find(" keys of 64.0 B to 1.0 KiB, "), std::string::npos);
}

TEST(MixKind, TimesOneOperationAStepAndCountsEachType)
{
    bench::mix test = small_mix();
    test.weights = {4, 1, 2, 1, 2};
    test.count = 400;
    test.load = true;
    recording_client store;
    bench::test_result result;
    bench::execute(test, store, nullptr, result);

    // The load: every key once, in order.
    ASSERT_GT(store.calls.size(), test.keys);
    for (std::uint64_t key = 0; key < test.keys; ++key) {
        EXPECT_EQ(store.calls[key].operation, "set");
        EXPECT_EQ(store.calls[key].key, "k:" + std::to_string(key));
    }
    std::map<std::string, std::uint64_t> calls;
    for (std::size_t i = test.keys; i < store.calls.size(); ++i) ++calls[store.calls[i].operation];

    const auto& get = figures_of(result, operation::get);
    const auto& put = figures_of(result, operation::put);
    const auto& update = figures_of(result, operation::update);
    const auto& remove = figures_of(result, operation::remove);
    const auto& rmw = figures_of(result, operation::read_modify_write);
    EXPECT_EQ(acc::count(result.timings), 400u);
    EXPECT_EQ(result.latency.total(), 400u);
    EXPECT_EQ(get.steps + put.steps + update.steps + remove.steps + rmw.steps, 400u);
    for (const auto* figures : {&get, &update, &remove, &rmw}) {
        EXPECT_GT(figures->steps, 0u);
        EXPECT_EQ(figures->hits + figures->misses, figures->steps);
        EXPECT_EQ(figures->latency.total(), figures->steps);
        EXPECT_LE(figures->min_ms, figures->max_ms);
    }
    EXPECT_EQ(put.hits + put.misses, 0u) << "a put cannot miss";
    EXPECT_GT(get.misses + update.misses + remove.misses, 0u) << "removes make misses";
    EXPECT_EQ(calls["try_get"], get.steps + rmw.steps);
    EXPECT_EQ(calls["set"], put.steps + rmw.steps);
    EXPECT_EQ(calls["try_update"], update.steps);
    EXPECT_EQ(calls["try_remove"], remove.steps);
    // Reads count what they read, writes what they wrote, misses nothing.
    EXPECT_EQ(result.bytes_processed,
              32u * (get.hits + put.steps + update.hits + rmw.hits + rmw.steps));

    // The same seed makes the same choices; another seed, others.
    recording_client again, other;
    bench::test_result again_result, other_result;
    bench::execute(test, again, nullptr, again_result);
    test.seed = 8;
    bench::execute(test, other, nullptr, other_result);
    const auto keys = [](const recording_client& client) {
        std::string text;
        for (const auto& call : client.calls) text += call.operation + " " + call.key + "\n";
        return text;
    };
    EXPECT_EQ(keys(again), keys(store));
    EXPECT_NE(keys(other), keys(store));

    // A read-modify-write is a read and a write of one key in one step.
    test.weights = {0, 0, 0, 0, 1};
    test.load = false;
    test.count = 20;
    recording_client rmw_store;
    bench::test_result rmw_result;
    bench::execute(test, rmw_store, nullptr, rmw_result);
    EXPECT_EQ(acc::count(rmw_result.timings), 20u);
    ASSERT_EQ(rmw_store.calls.size(), 40u);
    for (std::size_t i = 0; i < 40; i += 2) {
        EXPECT_EQ(rmw_store.calls[i].operation, "try_get");
        EXPECT_EQ(rmw_store.calls[i + 1].operation, "set");
        EXPECT_EQ(rmw_store.calls[i + 1].key, rmw_store.calls[i].key);
    }
}

TEST(MixKind, OnlyTheOperationsItUsesHaveFigures)
{
    bench::mix test = small_mix();
    test.weights = {0, 3, 0, 1, 0};
    recording_client store;
    bench::test_result result;
    bench::execute(test, store, nullptr, result);
    EXPECT_FALSE(result.operations[0]);
    EXPECT_TRUE(result.operations[1]);
    EXPECT_FALSE(result.operations[2]);
    EXPECT_TRUE(result.operations[3]);
    EXPECT_FALSE(result.operations[4]);
}

// RESP as the redis client sends it: SET stores, GET reads, and the
// `wrong_get`-th GET answers with the value of another key.
void serve_one_wrong_value(kvtest::fake_connection& connection, std::size_t wrong_get)
{
    std::map<std::string, std::string> entries;
    std::size_t gets = 0;
    for (;;) {
        const std::string header = connection.read_until("\r\n");
        if (header.size() < 3 || header[0] != '*') return;
        std::vector<std::string> words;
        for (int word = std::stoi(header.substr(1)); word > 0; --word) {
            const std::string length = connection.read_until("\r\n");
            if (length.size() < 3) return;
            const std::string text = connection.read_bytes(std::stoul(length.substr(1)) + 2);
            words.push_back(text.substr(0, text.size() - 2));
        }
        if (words[0] == "SET") {
            entries[words[1]] = words[2];
            connection.send("+OK\r\n");
            continue;
        }
        auto found = entries.find(words[1]);
        if (found == entries.end()) {
            connection.send("$-1\r\n");
            continue;
        }
        if (++gets == wrong_get) {
            found = std::next(found) == entries.end() ? entries.begin() : std::next(found);
        }
        connection.send("$" + std::to_string(found->second.size()) + "\r\n" + found->second +
                        "\r\n");
    }
}

TEST(MixKind, AValueOfAnotherKeyFailsTheTestAfterItsStep)
{
    kvtest::fake_server server([](kvtest::fake_connection& c) { serve_one_wrong_value(c, 3); });
    // One of two threads, so no progress display, but the only one to load.
    bench::thread_context context(settings_for(bench::protocol_type::redis, 2, server.port()), 0);
    context.all_threads = 1;
    bench::mix test = small_mix();
    test.keys = 8;
    test.load = true;
    std::ostringstream out, err;
    const bench::test_result result = bench::run_test(context, test, out, err);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.failure, "content does not match");
    EXPECT_EQ(acc::count(result.timings), 3u) << "the step was recorded before the check";
    EXPECT_EQ(figures_of(result, operation::get).hits, 3u);
}

TEST(MixKind, ADurationEndsOnTimeAndTheWarmUpIsNotCounted)
{
    bench::mix test = small_mix();
    test.weights = {1, 1, 0, 0, 0};
    test.load = true;
    test.count = 0;
    test.duration = 0.3;
    test.warmup = 0.2;

    // Closed loop, one thread: the display follows the clock and completes.
    {
        bench::thread_context context(settings_for(bench::protocol_type::local, 1), 0);
        std::ostringstream out, err;
        const auto start = std::chrono::steady_clock::now();
        const bench::test_result result = bench::run_test(context, test, out, err);
        const auto end = std::chrono::steady_clock::now();
        ASSERT_TRUE(result.success) << err.str();
        EXPECT_EQ(out.str(), "loaded 50 keys of 32.0 B in 0.00 s\n" + scale +
                                 std::string(51, '*') + "\n");
        const auto counted = result.last_step_end - result.first_step_start;
        EXPECT_GE(result.first_step_start - start, 200ms) << "warm-up steps come first";
        EXPECT_GE(counted, 299ms);
        EXPECT_LE(counted, 330ms);
        EXPECT_LE(end - start, 550ms);
    }
    // Open loop at 1000 steps/s: up to 200 warm-up steps, then up to 300
    // counted ones (fewer when the machine is busy), and only those in the
    // figures.
    {
        bench::run_settings settings = settings_for(bench::protocol_type::local, 2);
        settings.rate = 1000.0;
        bench::thread_context context(settings, 0);
        auto owned = std::make_unique<recording_client>();
        recording_client& store = *owned;
        context.client = std::move(owned);
        std::ostringstream out, err;
        const bench::result_record record =
            bench::make_record(bench::run_test(context, test, out, err), 0);
        ASSERT_TRUE(record.success) << err.str();
        const std::uint64_t steps = record.steps();
        EXPECT_GE(steps, 150u);
        EXPECT_LE(steps, 301u);
        EXPECT_EQ(record.open_loop->service.total(), steps);
        const std::uint64_t warm_up = store.calls.size() - test.keys - steps;
        EXPECT_GE(warm_up, 100u);
        EXPECT_LE(warm_up, 201u);
    }
}

// Threads of one process, each with its own context and client, that run
// one mix test together as a multi-thread pass does; their results.
std::vector<bench::test_result> run_together(const bench::run_settings& settings,
                                             const std::vector<bench::test_spec>& suite,
                                             std::ostream& notes,
                                             std::function<void(bench::thread_context&)> adjust =
                                                 {})
{
    const auto threads = static_cast<std::uint32_t>(settings.threads);
    bench::pass_barrier barrier(threads);
    const bench::mix_pass pass(suite, &barrier, &notes);
    std::vector<bench::test_result> results(threads);
    std::vector<std::thread> workers;
    for (std::uint32_t t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            bench::thread_context context(settings, t);
            context.mixes = &pass;
            if (adjust) adjust(context);
            std::ostringstream out, err;
            results[t] = bench::run_test(context, suite[0], out, err);
            barrier.leave();
        });
    }
    for (auto& worker : workers) worker.join();
    return results;
}

// Four threads on a read-heavy Zipfian mix over a loaded key space on a real
// server: every read hits, the types add up, the server holds the key space.
void check_shared_key_space(bench::protocol_type protocol, const kvtest::server_process& server,
                            const std::function<std::uint64_t()>& entries)
{
    bench::mix test = small_mix();
    test.keys = 2000;
    test.size_min = test.size_max = 256;
    test.weights = {95, 0, 5, 0, 0};
    test.distribution = bench::key_distribution::zipfian;
    test.count = 500;
    test.load = true;
    test.key_prefix = "shared:";
    const std::vector<bench::test_spec> suite{test};
    std::ostringstream notes;
    const auto results = run_together(settings_for(protocol, 4, server.port()), suite, notes);
    for (const bench::test_result& result : results) {
        SCOPED_TRACE(result.thread_number);
        ASSERT_TRUE(result.success) << result.failure;
        const auto& get = figures_of(result, operation::get);
        const auto& update = figures_of(result, operation::update);
        EXPECT_EQ(get.misses, 0u);
        EXPECT_EQ(update.misses, 0u);
        EXPECT_EQ(get.steps + update.steps, 500u);
        EXPECT_EQ(acc::count(result.timings), 500u);
        EXPECT_EQ(result.bytes_processed, 500u * 256u);
    }
    EXPECT_TRUE(std::regex_match(notes.str(),
                                 std::regex("loaded 2000 keys of 256\\.0 B in \\d+\\.\\d\\d s\n")))
        << notes.str();
    EXPECT_EQ(entries(), 2000u);
}

TEST(MixKind, ThreadsShareALoadedKeySpaceOnRedis)
{
    const auto redis = kvtest::server_process::redis();
    check_shared_key_space(bench::protocol_type::redis, redis, [&] {
        const std::string reply = redis.ask("DBSIZE\r\n", "\r\n");
        return std::stoull(reply.substr(1));
    });
}

TEST(MixKind, ThreadsShareALoadedKeySpaceOnMemcached)
{
    const auto memcached = kvtest::server_process::memcached();
    check_shared_key_space(bench::protocol_type::memcached, memcached, [&] {
        const std::string stats = memcached.ask("stats\r\n", "END\r\n");
        std::smatch items;
        if (!std::regex_search(stats, items, std::regex("STAT curr_items (\\d+)"))) return 0ull;
        return std::stoull(items[1]);
    });
}

TEST(MixKind, AThreadWhoseTestFailsBeforeItsStepsStillMeetsTheOthers)
{
    bench::mix test = small_mix();
    test.keys = 30;
    test.load = true;
    const std::vector<bench::test_spec> suite{test};
    std::ostringstream notes;
    const auto results = run_together(
        settings_for(bench::protocol_type::local, 3), suite, notes,
        [](bench::thread_context& context) {
            auto store = std::make_unique<recording_client>();
            // Thread 1's load fails; thread 2 cannot even start its test.
            if (context.thread_number == 1) store->fail_at(2, "could not set entry");
            if (context.thread_number == 2) context.all_threads = 2;
            context.client = std::move(store);
        });
    EXPECT_TRUE(results[0].success) << results[0].failure;
    EXPECT_EQ(results[1].failure, "could not set entry");
    EXPECT_EQ(results[2].failure, "thread index beyond the thread count");
    EXPECT_EQ(notes.str().rfind("loaded 30 keys of 32.0 B in ", 0), 0u) << notes.str();
}

TEST(MixWire, AMixTestReachesTheOtherRanksWhole)
{
    bench::mix test;
    test.keys = 123456789;
    test.size_min = 17;
    test.size_max = 99999;
    test.weights = {1, 2, 3, 4, 4294967295u};
    test.distribution = bench::key_distribution::latest;
    test.zipf_exponent = 0.25;
    test.hot_keys = 0.125;
    test.hot_share = 0.75;
    test.count = 0;
    test.duration = 12.5;
    test.warmup = 0.5;
    test.load = true;
    test.seed = 18446744073709551615u;
    test.key_prefix = "kvbench:3e8-5543df729c000:";
    bench::wire::run_plan plan;
    plan.tests = {bench::make_test_spec(1, 2, 3), test, bench::mix(small_mix())};
    bench::wire::writer out;
    bench::wire::put(out, plan);
    const std::string bytes = out.take();
    bench::wire::reader in(bytes);
    const bench::wire::run_plan got = bench::wire::get_plan(in);
    in.finish();
    ASSERT_EQ(got.tests.size(), 3u);
    EXPECT_EQ(bench::kind_count(got.tests[0]), 3u);
    const auto& back = boost::get<bench::mix>(got.tests[1]);
    EXPECT_EQ(back.keys, test.keys);
    EXPECT_EQ(back.size_min, test.size_min);
    EXPECT_EQ(back.size_max, test.size_max);
    EXPECT_EQ(back.weights, test.weights);
    EXPECT_EQ(back.distribution, test.distribution);
    EXPECT_EQ(back.zipf_exponent, test.zipf_exponent);
    EXPECT_EQ(back.hot_keys, test.hot_keys);
    EXPECT_EQ(back.hot_share, test.hot_share);
    EXPECT_EQ(back.count, test.count);
    EXPECT_EQ(back.duration, test.duration);
    EXPECT_EQ(back.warmup, test.warmup);
    EXPECT_EQ(back.load, test.load);
    EXPECT_EQ(back.seed, test.seed);
    EXPECT_EQ(back.key_prefix, test.key_prefix);
    EXPECT_EQ(boost::get<bench::mix>(got.tests[2]).seed, 7u);

    // A distribution past the last one is refused.
    std::string bad = bytes;
    const std::size_t distribution_at = bad.find(std::string("\xff\xff\xff\xff", 4)) + 4;
    bad[distribution_at] = 5;
    bench::wire::reader bad_in(bad);
    EXPECT_THROW(bench::wire::get_plan(bad_in), std::runtime_error);
}

}  // namespace
