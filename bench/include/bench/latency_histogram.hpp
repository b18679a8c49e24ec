#ifndef BENCH_LATENCY_HISTOGRAM_HPP
#define BENCH_LATENCY_HISTOGRAM_HPP

#include <boost/histogram/axis/option.hpp>
#include <boost/histogram/histogram.hpp>
#include <boost/histogram/make_histogram.hpp>
#include <boost/histogram/storage_adaptor.hpp>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <tuple>

namespace bench {

// Buckets for step durations in whole nanoseconds, in the manner of HDR
// histograms: each nanosecond below 256 ns has a bucket of its own, and from
// there on every power of two is split into 128 equal buckets, up to 2^37 ns
// (about 137 s). A bucket holds the durations from its lower to its upper
// edge, both included; the upper edge is less than 1/128 above the lower, so
// a duration read back from its bucket is off by less than 0.8 %. The bucket
// is found from the bit pattern of the count alone: no logarithm, no loop.
// Negative durations (which a monotonic clock never gives) are counted in the
// underflow bucket, durations from 2^37 ns on in the overflow bucket.
class duration_axis {
public:
    using value_type = std::int64_t;
    using index_type = boost::histogram::axis::index_type;

    static constexpr int sub_bucket_bits = 7;  // 128 buckets per power of two
    static constexpr int limit_bits = 37;      // durations below 2^37 ns have a bucket
    static constexpr std::int64_t limit_ns = std::int64_t{1} << limit_bits;
    // 256 single-nanosecond buckets, then 128 for each further power of two.
    static constexpr index_type bucket_count =
        (limit_bits - sub_bucket_bits + 1) << sub_bucket_bits;

    index_type index(std::int64_t ns) const noexcept {
        if (ns < 0) return -1;
        if (ns >= limit_ns) return bucket_count;
        // Bits beyond the top eight of the count are dropped: each dropped
        // bit doubles the bucket width and moves on by 128 buckets.
        const int width = 64 - __builtin_clzll(static_cast<unsigned long long>(ns) | 1u);
        const int shift = width > sub_bucket_bits + 1 ? width - sub_bucket_bits - 1 : 0;
        return (shift << sub_bucket_bits) + static_cast<index_type>(ns >> shift);
    }

    index_type size() const noexcept { return bucket_count; }
    static constexpr unsigned options() noexcept {
        return boost::histogram::axis::option::underflow_t::value |
               boost::histogram::axis::option::overflow_t::value;
    }
    // The lower edge of bucket i in nanoseconds, as the library's merging
    // asks for it; minus or plus infinity beyond the ordinary buckets.
    double value(double i) const noexcept {
        if (i < 0) return -std::numeric_limits<double>::infinity();
        if (i > bucket_count) return std::numeric_limits<double>::infinity();
        return static_cast<double>(lower_ns(static_cast<index_type>(i)));
    }
    bool operator==(const duration_axis&) const noexcept { return true; }
    bool operator!=(const duration_axis&) const noexcept { return false; }

    // The shortest duration of bucket i, for i from 0 to bucket_count (where
    // it is the limit).
    static std::int64_t lower_ns(index_type i) noexcept {
        const int shift = i >> sub_bucket_bits > 0 ? (i >> sub_bucket_bits) - 1 : 0;
        return static_cast<std::int64_t>(i - (shift << sub_bucket_bits)) << shift;
    }
    // The longest duration of bucket i, for i from 0 to bucket_count - 1.
    static std::int64_t upper_ns(index_type i) noexcept { return lower_ns(i + 1) - 1; }
};

// The percentiles reported for every result and aggregate, in parts per
// million, with the names they are shown under.
struct percentile_point {
    const char* name;
    std::uint32_t parts_per_million;
};
constexpr std::array<percentile_point, 6> reported_percentiles = {{
    {"p50", 500000},
    {"p90", 900000},
    {"p99", 990000},
    {"p99.9", 999000},
    {"p99.99", 999900},
    {"p100", 1000000},
}};
// Each reported percentile in milliseconds, in the order above.
using percentile_values = std::array<double, reported_percentiles.size()>;

// One histogram of step durations. Fixed size (about 31 KiB of counts, made
// once); recording a duration is an index computation and one increment.
// Histograms of several threads merge by adding their counts.
class latency_histogram {
public:
    using axis_type = duration_axis;
    using index_type = duration_axis::index_type;

    latency_histogram();

    void record(std::int64_t ns) { histogram_(ns); }
    latency_histogram& operator+=(const latency_histogram& other);

    // Every count, underflow and overflow included.
    std::uint64_t total() const;

    // Bucket counts by index: -1 is the underflow bucket, 0 to
    // bucket_count - 1 the ordinary ones, bucket_count the overflow. Enough
    // to send a histogram as plain numbers and build it again.
    static constexpr index_type first_index = -1;
    static constexpr index_type last_index = duration_axis::bucket_count;
    std::uint64_t count(index_type index) const;
    void set_count(index_type index, std::uint64_t count);

    // A bucket's edges in nanoseconds, both included; none below the
    // underflow bucket and above the overflow bucket.
    static std::optional<std::int64_t> lower_ns(index_type index);
    static std::optional<std::int64_t> upper_ns(index_type index);

    // Nearest-rank percentile (parts per million of the count) as the upper
    // edge of the bucket that holds it, in milliseconds, clamped into the
    // smallest and the largest duration recorded (min_ms, max_ms); NaN when
    // the histogram is empty.
    double percentile_ms(std::uint32_t parts_per_million, double min_ms, double max_ms) const;
    percentile_values percentiles_ms(double min_ms, double max_ms) const;

    bool operator==(const latency_histogram& other) const {
        return histogram_ == other.histogram_;
    }

private:
    using histogram_type =
        boost::histogram::histogram<std::tuple<duration_axis>,
                                    boost::histogram::dense_storage<std::uint64_t>>;
    histogram_type histogram_;
};

}  // namespace bench

#endif
