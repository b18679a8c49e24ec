#ifndef BENCH_WORKLOAD_KEY_CHOOSER_HPP
#define BENCH_WORKLOAD_KEY_CHOOSER_HPP

#include <bench/workload/mix.hpp>
#include <bench/workload/random.hpp>

#include <array>
#include <atomic>
#include <cstdint>

namespace bench {

// zeta(n, theta) = sum of i^-theta for i = 1 .. n, what Zipfian draws over n
// items need. theta >= 0.
double zeta(std::uint64_t n, double theta);

// Gray et al.'s Zipfian generator ("Quickly generating billion-record
// synthetic databases", SIGMOD 1994), as YCSB draws it: item i (0-based) comes
// with probability (i + 1)^-theta / zeta(n, theta) exactly for items 0 and 1
// and approximately for the others (items 2 to 5 somewhat more often: item 2
// 17% more at theta 0.99 over 1000 items; from the tenth on, within a few
// percent). zeta is computed once, here; a draw is then a few floating-point
// operations and no table. 0 <= theta < 1.
class zipfian_generator {
public:
    zipfian_generator(std::uint64_t items, double theta);

    // An item in [0, items); 0 is the most popular.
    std::uint64_t operator()(random_engine& random) const noexcept;

    std::uint64_t items() const noexcept { return items_; }

private:
    std::uint64_t items_;
    double zetan_;
    double alpha_;
    double eta_;
    double second_;  // 1 + 0.5^theta: below it (times zetan) item 1 is drawn
};

// The key most recently taken by a write under the latest distribution,
// shared by the threads of one test in the process (one per test: a test
// must not see another's writes). A write takes the key after the newest,
// wrapping in the key space, and makes it the newest; before any write the
// newest is the last key, so that after a load of the whole key space reads
// start from where the load ended and writes start again at key 0. A key is
// the newest from when it is taken, before its write reaches the store, so
// a read that follows at once may miss it.
class newest_key {
public:
    explicit newest_key(std::uint64_t keys);

    std::uint64_t newest() const noexcept
    {
        const std::uint64_t taken = writes_.load(std::memory_order_relaxed) % keys_;
        return taken == 0 ? keys_ - 1 : taken - 1;
    }
    // The key of the next write, which is now the newest.
    std::uint64_t take_next() noexcept
    {
        return writes_.fetch_add(1, std::memory_order_relaxed) % keys_;
    }
    std::uint64_t keys() const noexcept { return keys_; }

private:
    std::uint64_t keys_;
    alignas(64) std::atomic<std::uint64_t> writes_{0};  // every thread's, on a line of its own
};

// The random choices of one thread of a mix test: which operation comes
// next, on which key (a number in [0, keys)), and how long a written value
// is. Built from the test, the thread's place among all threads of the run
// (over every rank: thread t of threads) and the run's seed; the same three
// give the same sequence of choices, different threads different ones. A
// choice allocates nothing and takes some nanoseconds.
//
// Keys by distribution:
//   uniform     every key alike;
//   zipfian     Zipfian over the keys with zipf_exponent, its items scattered
//               over the key space by an FNV-64 hash (YCSB's scrambled
//               Zipfian), so the popular keys are not keys 0, 1, 2;
//   sequential  each thread walks the key space from its own start,
//               t * keys / threads, one key after the other, wrapping;
//   latest      writes (put, update, read_modify_write) take the key after
//               the newest (see newest_key); get and remove take the newest
//               minus a Zipfian draw, wrapping;
//   hotspot     a share hot_share of the choices goes to the first
//               ceil(hot_keys * keys) keys, the rest to the others, each group
//               uniform inside.
class key_chooser {
public:
    // Throws std::invalid_argument when the test cannot be drawn from (no
    // keys, no weight above 0, size_min above size_max, an exponent outside
    // [0, 1), a hot fraction outside [0, 1]), when thread is not below
    // threads, or for latest without newest, which must outlive the chooser.
    key_chooser(const mix& test, std::uint32_t thread, std::uint32_t threads, std::uint64_t seed,
                newest_key* newest = nullptr);

    // The next operation, drawn by the test's weights.
    operation next_operation() noexcept;
    // The key of the next operation, which is op.
    std::uint64_t next_key(operation op) noexcept;
    // The length of the next value written: uniform in [size_min, size_max].
    std::uint64_t next_size() noexcept;

private:
    std::uint64_t uniform_key() noexcept { return random_.below(keys_); }
    std::uint64_t scrambled_zipfian_key() noexcept;
    std::uint64_t sequential_key() noexcept;
    std::uint64_t latest_key(operation op) noexcept;
    std::uint64_t hotspot_key() noexcept;

    random_engine random_;
    key_distribution distribution_;
    std::uint64_t keys_;
    std::array<std::uint64_t, operation_count> weight_ends_{};  // running sums of the weights
    std::uint64_t size_min_;
    std::uint64_t size_span_;        // size_max - size_min
    zipfian_generator zipfian_;      // zipfian and latest; one item otherwise
    std::uint64_t position_ = 0;     // sequential: the next key
    newest_key* newest_ = nullptr;   // latest
    std::uint64_t hot_count_ = 0;    // hotspot: keys [0, hot_count_) are hot
    double hot_share_ = 0;
};

}  // namespace bench

#endif
