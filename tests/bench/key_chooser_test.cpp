#include <bench/workload/key_chooser.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using bench::key_distribution;
using bench::operation;

bench::mix make_mix(std::uint64_t keys, key_distribution distribution)
{
    bench::mix test;
    test.keys = keys;
    test.size_min = test.size_max = 100;
    test.weights = {1, 0, 0, 0, 0};
    test.distribution = distribution;
    return test;
}

// How often each key comes over draws of op.
std::vector<std::uint64_t> key_counts(bench::key_chooser& chooser, std::uint64_t keys,
                                      std::uint64_t draws, operation op = operation::get)
{
    std::vector<std::uint64_t> counts(keys);
    for (std::uint64_t i = 0; i < draws; ++i) {
        const std::uint64_t key = chooser.next_key(op);
        EXPECT_LT(key, keys);
        if (key < keys) ++counts[key];
    }
    return counts;
}

double direct_zeta(std::uint64_t n, double theta)
{
    double sum = 0;
    for (std::uint64_t i = n; i >= 1; --i) sum += std::pow(static_cast<double>(i), -theta);
    return sum;
}

TEST(Zeta, AgreesWithTheSumOfItsTerms)
{
    for (const double theta : {0.0, 0.5, 0.99}) {
        for (const std::uint64_t n : {1u, 2u, 999u, 1000u, 1001u, 12345u, 1000000u}) {
            const double expected = direct_zeta(n, theta);
            EXPECT_NEAR(bench::zeta(n, theta), expected, expected * 1e-12)
                << "n " << n << " theta " << theta;
        }
    }
}

TEST(KeyChooser, UniformIsFlat)
{
    const std::uint64_t keys = 100, draws = 200000;
    bench::key_chooser chooser(make_mix(keys, key_distribution::uniform), 0, 1, 7);
    const std::vector<std::uint64_t> counts = key_counts(chooser, keys, draws);
    const double expected = static_cast<double>(draws) / keys;
    double chi_square = 0;
    for (const std::uint64_t count : counts) {
        chi_square += (count - expected) * (count - expected) / expected;
    }
    // 99 degrees of freedom: mean 99, standard deviation 14.
    EXPECT_LT(chi_square, 99 + 5 * 14);
}

TEST(KeyChooser, ZipfianGivesThePopularKeysTheirSharesScattered)
{
    const std::uint64_t keys = 1000, draws = 1000000;
    const double theta = 0.99;
    bench::mix test = make_mix(keys, key_distribution::zipfian);
    test.zipf_exponent = theta;
    bench::key_chooser chooser(test, 0, 1, 11);
    const std::vector<std::uint64_t> counts = key_counts(chooser, keys, draws);

    std::vector<std::uint64_t> by_count(keys);
    std::iota(by_count.begin(), by_count.end(), 0);
    std::sort(by_count.begin(), by_count.end(),
              [&](std::uint64_t a, std::uint64_t b) { return counts[a] > counts[b]; });
    // The two most popular keys get exactly 1 and 2^-theta over zeta; from
    // the tenth on, keys get close to (rank + 1)^-theta over zeta.
    const double zetan = direct_zeta(keys, theta);
    const struct {
        std::size_t rank;
        double tolerance;
    } ranks[] = {{0, 0.02}, {1, 0.02}, {9, 0.05}, {19, 0.05}};
    for (const auto& r : ranks) {
        const double share = static_cast<double>(counts[by_count[r.rank]]) / draws;
        const double expected = std::pow(r.rank + 1.0, -theta) / zetan;
        EXPECT_NEAR(share, expected, expected * r.tolerance) << "rank " << r.rank;
    }
    // The ten most popular keys are spread over the key space.
    const std::vector<std::uint64_t> top(by_count.begin(), by_count.begin() + 10);
    EXPECT_GT(*std::max_element(top.begin(), top.end()) - *std::min_element(top.begin(), top.end()),
              keys / 2);
    EXPECT_LT(std::count_if(top.begin(), top.end(), [](std::uint64_t key) { return key < 10; }),
              3);
}

TEST(KeyChooser, SequentialWalksFromEachThreadsOwnStart)
{
    const struct {
        std::uint64_t keys;
        std::uint32_t thread, threads;
        std::vector<std::uint64_t> walk;
    } cases[] = {
        {10, 0, 3, {0, 1, 2, 3}},
        {10, 1, 3, {3, 4, 5, 6}},
        {10, 2, 3, {6, 7, 8, 9, 0, 1}},
        {2, 1, 4, {0, 1, 0}},  // more threads than keys
        {1, 0, 1, {0, 0}},
        {UINT64_MAX, 2, 3, {UINT64_MAX / 3 * 2, UINT64_MAX / 3 * 2 + 1}},
    };
    for (const auto& c : cases) {
        bench::key_chooser chooser(make_mix(c.keys, key_distribution::sequential), c.thread,
                                   c.threads, 1);
        std::vector<std::uint64_t> walk;
        for (std::size_t i = 0; i < c.walk.size(); ++i) {
            walk.push_back(chooser.next_key(operation::get));
        }
        EXPECT_EQ(walk, c.walk) << "keys " << c.keys << " thread " << c.thread;
    }
}

TEST(KeyChooser, LatestWritesAfterTheNewestAndReadsJustBeforeIt)
{
    const std::uint64_t keys = 1000, draws = 200000;
    bench::newest_key newest(keys);
    EXPECT_EQ(newest.newest(), keys - 1);  // as after a load of every key
    const bench::mix test = make_mix(keys, key_distribution::latest);
    bench::key_chooser first(test, 0, 2, 3, &newest);
    bench::key_chooser second(test, 1, 2, 3, &newest);

    // Writes of both threads take the keys after the newest, in turn.
    EXPECT_EQ(first.next_key(operation::put), 0u);
    EXPECT_EQ(second.next_key(operation::update), 1u);
    EXPECT_EQ(first.next_key(operation::read_modify_write), 2u);
    EXPECT_EQ(newest.newest(), 2u);

    // Reads go back from the newest by a Zipfian draw, wrapping below key 0.
    std::vector<std::uint64_t> back(keys);
    for (std::uint64_t i = 0; i < draws; ++i) {
        const operation op = i % 2 ? operation::get : operation::remove;
        ++back[(2 + keys - first.next_key(op)) % keys];
    }
    const double zetan = direct_zeta(keys, test.zipf_exponent);
    EXPECT_NEAR(static_cast<double>(back[0]) / draws, 1 / zetan, 0.02 / zetan);
    EXPECT_GT(back[0], back[1]);
    EXPECT_GT(back[1], back[10]);
    EXPECT_GT(back[3], 0u);  // key 999, before key 0
    EXPECT_EQ(newest.newest(), 2u);  // reads move nothing

    // The writes wrap at the end of the key space.
    for (std::uint64_t i = 3; i < keys; ++i) second.next_key(operation::put);
    EXPECT_EQ(newest.newest(), keys - 1);
    EXPECT_EQ(first.next_key(operation::put), 0u);
}

TEST(KeyChooser, HotspotSendsItsShareToTheFirstKeys)
{
    const struct {
        std::uint64_t keys;
        double hot_keys, hot_share;
        std::uint64_t hot_count;
        double share;  // of the draws on the hot keys
    } cases[] = {
        {1000, 0.2, 0.8, 200, 0.8},
        {10, 0.25, 0.9, 3, 0.9},    // ceil(2.5)
        {100, 0, 0.8, 0, 0},        // no hot key: all uniform
        {100, 1, 0.3, 100, 1},      // every key hot
        {100, 0.5, 0, 50, 0},
    };
    const std::uint64_t draws = 200000;
    for (const auto& c : cases) {
        bench::mix test = make_mix(c.keys, key_distribution::hotspot);
        test.hot_keys = c.hot_keys;
        test.hot_share = c.hot_share;
        bench::key_chooser chooser(test, 0, 1, 5);
        const std::vector<std::uint64_t> counts = key_counts(chooser, c.keys, draws);
        const auto hot_end = counts.begin() + static_cast<std::ptrdiff_t>(c.hot_count);
        const std::uint64_t hot = std::accumulate(counts.begin(), hot_end, std::uint64_t{0});
        EXPECT_NEAR(static_cast<double>(hot) / draws, c.share, 0.01) << "keys " << c.keys;
        // Each group uniform: the first half of its keys gets its share of
        // the group's draws.
        for (const auto& [from, to] :
             {std::pair(counts.begin(), hot_end), std::pair(hot_end, counts.end())}) {
            const double group = std::accumulate(from, to, 0.0);
            if (group == 0) continue;
            const auto half = (to - from) / 2;
            EXPECT_NEAR(std::accumulate(from, from + half, 0.0) / group,
                        static_cast<double>(half) / static_cast<double>(to - from), 0.02)
                << "keys " << c.keys;
        }
    }
}

TEST(KeyChooser, SameSeedAndThreadGiveTheSameChoices)
{
    const auto choices = [](key_distribution distribution, std::uint32_t thread,
                            std::uint64_t seed) {
        bench::mix test = make_mix(1000000, distribution);
        test.weights = {5, 3, 1, 1, 1};
        test.size_min = 16;
        test.size_max = 4096;
        bench::key_chooser chooser(test, thread, 8, seed);
        std::vector<std::uint64_t> made;
        for (int i = 0; i < 100; ++i) {
            const operation op = chooser.next_operation();
            made.push_back(static_cast<std::uint64_t>(op));
            made.push_back(chooser.next_key(op));
            made.push_back(chooser.next_size());
        }
        return made;
    };
    for (const key_distribution distribution :
         {key_distribution::uniform, key_distribution::zipfian, key_distribution::hotspot}) {
        const auto reference = choices(distribution, 3, 42);
        EXPECT_EQ(choices(distribution, 3, 42), reference);
        EXPECT_NE(choices(distribution, 4, 42), reference);
        EXPECT_NE(choices(distribution, 3, 43), reference);
    }
}

TEST(KeyChooser, OperationsAndSizesFollowTheTest)
{
    const struct {
        std::array<std::uint32_t, bench::operation_count> weights;
        std::uint64_t size_min, size_max;
    } cases[] = {
        {{50, 0, 30, 0, 20}, 16, 19},
        {{0, 0, 0, 0, 7}, 1024, 1024},
        {{1, 1, 1, 1, 1}, 16, 16 + 9},
    };
    const std::uint64_t draws = 200000;
    for (const auto& c : cases) {
        bench::mix test = make_mix(100, key_distribution::uniform);
        test.weights = c.weights;
        test.size_min = c.size_min;
        test.size_max = c.size_max;
        bench::key_chooser chooser(test, 0, 1, 9);
        std::array<std::uint64_t, bench::operation_count> ops{};
        std::vector<std::uint64_t> sizes(c.size_max - c.size_min + 1);
        for (std::uint64_t i = 0; i < draws; ++i) {
            ++ops[static_cast<std::size_t>(chooser.next_operation())];
            const std::uint64_t size = chooser.next_size();
            ASSERT_GE(size, c.size_min);
            ASSERT_LE(size, c.size_max);
            ++sizes[size - c.size_min];
        }
        const double total = std::accumulate(c.weights.begin(), c.weights.end(), 0.0);
        for (std::size_t op = 0; op < bench::operation_count; ++op) {
            if (c.weights[op] == 0) {
                EXPECT_EQ(ops[op], 0u) << bench::operation_names[op];
            } else {
                EXPECT_NEAR(static_cast<double>(ops[op]) / draws, c.weights[op] / total, 0.01)
                    << bench::operation_names[op];
            }
        }
        for (const std::uint64_t count : sizes) {
            EXPECT_NEAR(static_cast<double>(count) / draws, 1.0 / sizes.size(), 0.01);
        }
    }
}

TEST(KeyChooser, RefusesWhatCannotBeDrawn)
{
    bench::newest_key newest(100);
    bench::newest_key other_space(99);
    const struct {
        const char* what;
        void (*change)(bench::mix&);
        std::uint32_t thread, threads;
        bench::newest_key* newest;
    } cases[] = {
        {"no keys", [](bench::mix& m) { m.keys = 0; }, 0, 1, nullptr},
        {"no weight", [](bench::mix& m) { m.weights = {}; }, 0, 1, nullptr},
        {"sizes crossed", [](bench::mix& m) { m.size_min = m.size_max + 1; }, 0, 1, nullptr},
        {"thread beyond", [](bench::mix&) {}, 2, 2, nullptr},
        {"exponent 1",
         [](bench::mix& m) { m.distribution = key_distribution::zipfian; m.zipf_exponent = 1; },
         0, 1, nullptr},
        {"exponent below 0",
         [](bench::mix& m) { m.distribution = key_distribution::latest; m.zipf_exponent = -0.5; },
         0, 1, &newest},
        {"hot keys above 1",
         [](bench::mix& m) { m.distribution = key_distribution::hotspot; m.hot_keys = 1.5; }, 0,
         1, nullptr},
        {"hot share not a number",
         [](bench::mix& m) { m.distribution = key_distribution::hotspot; m.hot_share = NAN; }, 0,
         1, nullptr},
        {"latest without newest",
         [](bench::mix& m) { m.distribution = key_distribution::latest; }, 0, 1, nullptr},
        {"latest of another key space",
         [](bench::mix& m) { m.distribution = key_distribution::latest; }, 0, 1, &other_space},
    };
    for (const auto& c : cases) {
        bench::mix test = make_mix(100, key_distribution::uniform);
        c.change(test);
        EXPECT_THROW(bench::key_chooser(test, c.thread, c.threads, 1, c.newest),
                     std::invalid_argument)
            << c.what;
    }
}

}  // namespace
