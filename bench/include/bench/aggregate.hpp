#ifndef BENCH_AGGREGATE_HPP
#define BENCH_AGGREGATE_HPP

#include <bench/latency_histogram.hpp>
#include <bench/result_record.hpp>
#include <bench/workload/mix.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace bench {

// One test over every thread that ran it. Each result is merged in as it
// arrives and can then be let go: the aggregate keeps sums, extremes and one
// histogram, whatever the number of steps and threads. Failed results are
// counted, not merged (their requested rate apart).
struct test_aggregate {
    explicit test_aggregate(std::size_t index = 0) : test_index(index) {}

    void merge(const result_record& record);

    std::size_t test_index = 0;
    std::uint32_t threads = 0;         // results received, failed ones included
    std::uint32_t failed_threads = 0;
    std::uint64_t iterations = 0;      // steps of the merged results
    std::uint64_t bytes = 0;
    double sum_ms = 0;                 // sum of the step durations
    double squared_deviations = 0;     // sum of squared deviations from the mean, ms^2
    double min_ms = std::numeric_limits<double>::quiet_NaN();  // NaN without steps
    double max_ms = std::numeric_limits<double>::quiet_NaN();
    std::int64_t start_ns = 0;         // earliest first start, from the run's start
    std::int64_t end_ns = 0;           // latest last end
    latency_histogram latency;
    // The sum of the requested rates of every open-loop result received,
    // failed ones included: the load the test was asked for. NaN in closed loop.
    double requested_steps_per_s = std::numeric_limits<double>::quiet_NaN();
    // The sum of the merged threads' achieved rates; NaN while none had one.
    double achieved_steps_per_s = std::numeric_limits<double>::quiet_NaN();
    std::optional<open_loop_times> open_loop;  // set once a successful open-loop result is merged
    operation_table operations;  // mix tests: each used operation over the merged results
    // The redirections of every result received that counts them, failed
    // ones included (their redirections happened all the same).
    std::optional<redirection_counts> redirections;
    // With --interval: the merged results' intervals by index (a failed
    // result's failures only), and the spans of the merged results, which
    // tell how much of each interval the test ran.
    std::optional<interval_series> intervals;
    std::vector<time_span> interval_spans;

    // No result succeeded (or none was received): there are no figures.
    bool none_succeeded() const noexcept { return failed_threads == threads; }
    // NaN without steps.
    double mean_ms() const noexcept;
    // Population standard deviation of all merged steps; NaN without steps.
    double standard_deviation_ms() const noexcept;
    std::int64_t span_ns() const noexcept { return iterations == 0 ? 0 : end_ns - start_ns; }
    throughput rate() const { return throughput_over(iterations, bytes, span_ns()); }
    percentile_values percentiles() const { return latency.percentiles_ms(min_ms, max_ms); }
    // Open loop only (open_loop set).
    percentile_values service_percentiles() const {
        return open_loop->service.percentiles_ms(open_loop->service_min_ms,
                                                 open_loop->service_max_ms);
    }
    percentile_values start_lateness_percentiles() const {
        return open_loop->lateness.percentiles_ms(open_loop->lateness_min_ms,
                                                  open_loop->lateness_max_ms);
    }
    // The mean start lateness of the merged open-loop steps; NaN without them.
    double mean_start_lateness_ms() const noexcept;
};

// Adds the figures of each operation in `from` to those in `into`, setting
// the operations that `into` did not have yet.
void merge_operations(operation_table& into, const operation_table& from);

// The aggregates of every test of a suite, in suite order. A test's aggregate
// (with its histogram, about 31 KiB) is made when its first result arrives:
// until then a test costs one pointer, however long the suite.
class suite_aggregates {
public:
    explicit suite_aggregates(std::size_t tests) : made_(tests) {}

    // Merges the record into its test's aggregate; a record of no test of
    // the suite is left out.
    void merge(const result_record& record);

    std::size_t size() const noexcept { return made_.size(); }
    // The aggregate of a test, null while no result of it arrived.
    const test_aggregate* find(std::size_t test) const {
        return test < made_.size() ? made_[test].get() : nullptr;
    }
    // Calls visit with the aggregate of every test in suite order: an empty
    // one (no threads) for a test that had no result.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        std::unique_ptr<test_aggregate> empty;
        for (std::size_t test = 0; test < made_.size(); ++test) {
            if (made_[test]) {
                visit(*made_[test]);
                continue;
            }
            if (!empty) empty = std::make_unique<test_aggregate>();
            empty->test_index = test;
            visit(static_cast<const test_aggregate&>(*empty));
        }
    }

private:
    std::vector<std::unique_ptr<test_aggregate>> made_;
};

}  // namespace bench

#endif
