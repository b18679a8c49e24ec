#ifndef BENCH_WORKLOAD_MIX_HPP
#define BENCH_WORKLOAD_MIX_HPP

#include <bench/latency_histogram.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace bench {

// The operations a mix test draws from, in this order wherever they are
// listed (weights, figures, reports).
enum class operation : std::uint8_t { get, put, update, remove, read_modify_write };
constexpr std::size_t operation_count = 5;
// Their names in a suite file and in the reports, by operation.
constexpr std::array<const char*, operation_count> operation_names = {
    "get", "put", "update", "remove", "read_modify_write"};

// How a mix test picks the key of each operation.
enum class key_distribution : std::uint8_t { uniform, zipfian, sequential, latest, hotspot };
constexpr std::array<const char*, 5> distribution_names = {"uniform", "zipfian", "sequential",
                                                           "latest", "hotspot"};

// The smallest value a mix writes, in bytes: the header that ties a value to
// its key and version (bench/workload/mix_value.hpp). A test whose size_min
// is below it cannot be run.
constexpr std::uint64_t mix_value_min_size = 16;

// The sixth test kind: a weighted mix of operations over a key space that
// every thread (and every rank) shares, run for a count of steps or for a
// time. One timed step is one operation.
struct mix {
    std::uint64_t keys = 0;         // size of the shared key space
    std::uint64_t size_min = 0;     // bytes per value, drawn uniformly per write
    std::uint64_t size_max = 0;     // equal to size_min for a fixed size
    std::array<std::uint32_t, operation_count> weights{};  // by operation; at least one above 0
    key_distribution distribution = key_distribution::uniform;
    double zipf_exponent = 0.99;    // zipfian and latest
    double hot_keys = 0.2;          // hotspot: the fraction of the keys that is hot
    double hot_share = 0.8;         // hotspot: the fraction of the operations they get
    std::uint64_t count = 0;        // steps per thread; 0 when the test runs for a duration
    double duration = 0;            // seconds; 0 when the test runs for a count
    double warmup = 0;              // seconds of steps before the counted ones
    bool load = false;              // write the whole key space once before the steps
    std::optional<std::uint64_t> seed;  // the random choices' seed; none: drawn per run
    std::string key_prefix;         // keys are this followed by the key's number in decimal

    // The largest value a write makes: what the kinds' size means for a mix.
    std::uint64_t size() const noexcept { return size_max; }
    bool uses(operation op) const noexcept {
        return weights[static_cast<std::size_t>(op)] > 0;
    }
};

// The figures a mix result keeps for each operation type besides those of
// all its steps.
struct operation_figures {
    std::uint64_t steps = 0;
    std::uint64_t hits = 0;         // get, update, remove, read_modify_write: the key was there
    std::uint64_t misses = 0;       // ... and where it was not
    latency_histogram latency;      // the operations' durations in nanoseconds
    double min_ms = std::numeric_limits<double>::infinity();
    double max_ms = -std::numeric_limits<double>::infinity();

    void merge(const operation_figures& other)
    {
        steps += other.steps;
        hits += other.hits;
        misses += other.misses;
        latency += other.latency;
        min_ms = std::min(min_ms, other.min_ms);
        max_ms = std::max(max_ms, other.max_ms);
    }
    // NaN for each while there are no steps.
    percentile_values percentiles() const { return latency.percentiles_ms(min_ms, max_ms); }
};

// A mix result's figures by operation; only the operations the test uses are
// set.
using operation_table = std::array<std::optional<operation_figures>, operation_count>;

}  // namespace bench

#endif
