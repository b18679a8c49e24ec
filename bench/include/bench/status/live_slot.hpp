#ifndef BENCH_STATUS_LIVE_SLOT_HPP
#define BENCH_STATUS_LIVE_SLOT_HPP

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace bench {

// A coarse histogram of step durations for the status line: two buckets per
// power of two of nanoseconds (the lower and the upper half of each octave),
// 128 in all, which covers every 64-bit duration.
constexpr std::size_t live_bucket_count = 128;

// The bucket of a duration of `ns` nanoseconds (a negative one counts as 0).
constexpr std::size_t live_bucket_of(std::int64_t ns) noexcept
{
    if (ns < 2) return ns < 0 ? 0 : static_cast<std::size_t>(ns);
    const auto value = static_cast<std::uint64_t>(ns);
    const int octave = 63 - __builtin_clzll(value);
    return static_cast<std::size_t>(2 * octave) + ((value >> (octave - 1)) & 1U);
}

// The largest duration, in nanoseconds, that falls into `bucket`.
constexpr std::uint64_t live_bucket_upper(std::size_t bucket) noexcept
{
    if (bucket < 2) return bucket;
    const std::size_t octave = bucket / 2;
    const std::uint64_t half = std::uint64_t{1} << (octave - 1);
    return ((2 + (bucket & 1U)) * half) + (half - 1);
}

// What one worker thread of a pass publishes while it runs: its recorded
// steps, their durations, and the test it is on. The thread itself is the
// only writer, so a count goes up by a relaxed load and store (no locked
// instruction); the status thread reads the slot at any time. A slot fills
// whole cache lines of its own, so that the workers never share one.
struct alignas(64) live_slot {
    std::atomic<std::uint64_t> steps{0};
    std::atomic<std::uint32_t> test{0};  // the running test's number (1-based), 0 between tests
    std::array<std::atomic<std::uint64_t>, live_bucket_count> buckets{};

    // One recorded step of `ns` nanoseconds.
    void record(std::int64_t ns) noexcept
    {
        bump(steps);
        bump(buckets[live_bucket_of(ns)]);
    }

private:
    static void bump(std::atomic<std::uint64_t>& count) noexcept
    {
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
};

// The counts of one or more slots at one moment.
struct live_snapshot {
    std::uint64_t steps = 0;
    std::array<std::uint64_t, live_bucket_count> buckets{};

    // Adds the slot's counts as they are now.
    void add(const live_slot& slot) noexcept;
};

// What happened between two snapshots taken `interval` apart.
struct live_figures {
    double steps_per_s = 0;
    // The 99th percentile of the step durations, as the upper end of its
    // bucket; none when no step was recorded in between.
    std::optional<std::uint64_t> p99_ns;
};

live_figures live_difference(const live_snapshot& before, const live_snapshot& after,
                             std::chrono::nanoseconds interval) noexcept;

}  // namespace bench

#endif
