#ifndef BENCH_INTERVALS_HPP
#define BENCH_INTERVALS_HPP

#include <bench/latency_histogram.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace bench {

// What happened in one interval of a test (--interval): the steps that
// ended in it, their bytes, the failures, and the step durations as the
// histogram's non-empty buckets only. A bucket is packed into 64 bits: the
// bucket's index plus one (so that the underflow bucket is 0) in the top 16
// bits, its count in the low 48. Ten minutes of one-second intervals on a
// hundred threads then cost a few hundred buckets' worth of bytes each.
struct interval_figures {
    static constexpr int count_bits = 48;
    static constexpr std::uint64_t count_mask = (std::uint64_t{1} << count_bits) - 1;

    std::uint64_t steps = 0;
    std::uint64_t bytes = 0;
    std::uint64_t failures = 0;
    std::int64_t min_ns = std::numeric_limits<std::int64_t>::max();  // of the steps' durations
    std::int64_t max_ns = std::numeric_limits<std::int64_t>::min();
    std::vector<std::uint64_t> buckets;  // ascending by index

    static std::uint64_t pack(latency_histogram::index_type index, std::uint64_t count) {
        return static_cast<std::uint64_t>(index + 1) << count_bits |
               std::min(count, count_mask);
    }
    static latency_histogram::index_type index_of(std::uint64_t bucket) {
        return static_cast<latency_histogram::index_type>(bucket >> count_bits) - 1;
    }
    static std::uint64_t count_of(std::uint64_t bucket) { return bucket & count_mask; }

    bool empty() const noexcept { return steps == 0 && failures == 0; }
    // Adds other's steps, failures and buckets to these.
    void merge(const interval_figures& other);
    // The reported percentiles of the steps in milliseconds, clamped into
    // the shortest and the longest duration; NaN without steps.
    percentile_values percentiles_ms() const;
};

// A test's intervals in order, from the first that holds a step or a
// failure to the last, the empty ones between included. Plain data, as a
// result record holds it.
struct interval_series {
    std::int64_t length_ns = 0;   // of every interval
    std::uint64_t first = 0;      // index of intervals[0] from the run's start
    std::vector<interval_figures> intervals;

    // The interval with this index, made (with the empty ones up to it)
    // when the series does not reach it yet.
    interval_figures& at(std::uint64_t index);
    // Merges other's intervals by index. Only the failures when
    // failures_only (a failed result, whose steps an aggregate leaves out).
    void merge(const interval_series& other, bool failures_only = false);

    std::uint64_t steps() const;
    std::uint64_t bytes() const;
};

// A span of time in nanoseconds from the run's start, from..to.
struct time_span {
    std::int64_t from_ns = 0;
    std::int64_t to_ns = 0;
};

// For every interval of the series, how long in nanoseconds any of the
// spans covered it: the part of the interval the test ran.
std::vector<std::int64_t> covered_ns(const interval_series& series, std::vector<time_span> spans);

// Collects a test's intervals on one thread while it runs. Recording a step
// compares its end with the end of the interval in progress and counts it in
// a dense histogram that serves every interval in turn; only when a step
// ends beyond the interval in progress is that interval compacted into the
// series and the next one found.
class interval_recorder {
public:
    using time_point = std::chrono::steady_clock::time_point;

    // Intervals of length_ns counted from origin.
    interval_recorder(time_point origin, std::int64_t length_ns);

    void record(std::int64_t ns, std::uint64_t bytes, time_point end) {
        if (end >= interval_end_) move_to(end);
        ++current_.steps;
        current_.bytes += bytes;
        current_.min_ns = std::min(current_.min_ns, ns);
        current_.max_ns = std::max(current_.max_ns, ns);
        ++counts_[static_cast<std::size_t>(axis_.index(ns) - latency_histogram::first_index)];
    }
    // A failure of the test at `at`.
    void record_failure(time_point at);

    // The series with the interval in progress closed.
    interval_series finish();

private:
    void move_to(time_point at);
    void close_current();

    time_point origin_;
    std::chrono::nanoseconds length_;
    std::uint64_t current_index_ = 0;
    bool started_ = false;
    time_point interval_end_ = time_point::min();  // first record finds its interval
    interval_figures current_;                       // without buckets: they are in counts_
    std::vector<std::uint64_t> counts_;              // dense, by index - first_index
    duration_axis axis_;
    interval_series series_;
};

}  // namespace bench

#endif
