#ifndef BENCH_RESULT_RECORD_HPP
#define BENCH_RESULT_RECORD_HPP

#include <bench/intervals.hpp>
#include <bench/latency_histogram.hpp>
#include <bench/statistics.hpp>
#include <bench/test_result.hpp>
#include <bench/workload/mix.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace bench {

// A finished result as the reporters and the aggregates take it: plain data
// only (no running accumulator, no clock readings), so that a result can as
// well be rebuilt from numbers received from elsewhere and be reported and
// merged like one of this process.
struct result_record {
    std::size_t test_index = 0;        // the test's place in the suite
    std::uint32_t thread_number = 0;
    std::uint32_t rank = 0;            // the process that ran it, in a run over several ranks
    bool success = false;
    std::string description;
    std::string failure;               // why the test failed; empty unless it did
    std::uint64_t bytes_processed = 0;
    result_figures figures;            // what the console block and the report row print
    double sum_ms = 0;                 // sum of the step durations, for pooled means
    std::int64_t start_ns = 0;         // first step's start, from the run's start
    std::int64_t end_ns = 0;           // last step's end, from the run's start
    latency_histogram latency;         // the step durations
    std::int64_t last_start_ns = 0;    // last step's start, from the run's start
    std::optional<open_loop_times> open_loop;  // open loop (--rate) only
    operation_table operations;        // mix tests: the used operations' figures
    std::optional<redirection_counts> redirections;  // a Redis Cluster's client only
    std::optional<interval_series> intervals;        // --interval only

    std::uint64_t steps() const noexcept { return figures.iterations_count; }
    // From the first step's start to the last one's end; 0 without steps.
    std::int64_t span_ns() const noexcept { return steps() == 0 ? 0 : end_ns - start_ns; }
};

// Takes a runner's result apart into a record; times become nanoseconds from
// run_start.
result_record make_record(test_result result, std::size_t test_index,
                          test_result::time_point run_start = {});

// Steps and payload bytes per second over a span.
struct throughput {
    double steps_per_s = 0;
    double bytes_per_s = 0;
};
// 0 for both when the span is not positive.
throughput throughput_over(std::uint64_t steps, std::uint64_t bytes, std::int64_t span_ns);

inline throughput throughput_of(const result_record& record)
{
    return throughput_over(record.steps(), record.bytes_processed, record.span_ns());
}

// The reported percentiles of the record's steps, clamped into its min and max.
inline percentile_values percentiles_of(const result_record& record)
{
    return record.latency.percentiles_ms(record.figures.min, record.figures.max);
}

// The percentiles of the service times of an open-loop record (open_loop set).
inline percentile_values service_percentiles_of(const result_record& record)
{
    const open_loop_times& open_loop = *record.open_loop;
    return open_loop.service.percentiles_ms(open_loop.service_min_ms, open_loop.service_max_ms);
}

// The percentiles of how late the steps of an open-loop record (open_loop
// set) started after their due times.
inline percentile_values start_lateness_percentiles_of(const result_record& record)
{
    const open_loop_times& open_loop = *record.open_loop;
    return open_loop.lateness.percentiles_ms(open_loop.lateness_min_ms, open_loop.lateness_max_ms);
}

// The rate at which the record's steps started: the steps after the first
// over the time from the first step's start to the last one's, in steps per
// second; NaN below two steps. On schedule it is the requested rate.
inline double achieved_rate(const result_record& record)
{
    const std::int64_t span_ns = record.last_start_ns - record.start_ns;
    if (record.steps() < 2 || span_ns <= 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(record.steps() - 1) / (static_cast<double>(span_ns) / 1e9);
}

// How late, on average, an open-loop record's steps started after their due
// times, in milliseconds; NaN in closed loop and without steps.
inline double mean_start_lateness_ms(const result_record& record)
{
    if (!record.open_loop || record.steps() == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(record.open_loop->total_lateness_ns) / 1000000.0 /
           static_cast<double>(record.steps());
}

}  // namespace bench

#endif
