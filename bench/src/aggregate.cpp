#include <bench/aggregate.hpp>

#include <algorithm>
#include <cmath>

namespace bench {

void test_aggregate::merge(const result_record& record)
{
    ++threads;
    // A thread was asked for its rate whether or not it got through its test.
    if (record.open_loop) {
        const double requested = record.open_loop->requested_rate;
        requested_steps_per_s =
            std::isnan(requested_steps_per_s) ? requested : requested_steps_per_s + requested;
    }
    if (record.redirections) {
        if (!redirections) redirections.emplace();
        *redirections += *record.redirections;
    }
    if (record.intervals) {
        if (!intervals) intervals.emplace();
        intervals->merge(*record.intervals, !record.success);
        if (record.success && record.steps() > 0)
            interval_spans.push_back({record.start_ns, record.end_ns});
    }
    if (!record.success) {
        ++failed_threads;
        return;
    }
    if (record.open_loop) {
        if (!open_loop) open_loop.emplace();
        open_loop->merge(*record.open_loop);
    }
    merge_operations(operations, record.operations);
    const std::uint64_t n = record.steps();
    if (n == 0) return;

    // Pooled mean and squared deviations of two groups (Chan, Golub and
    // LeVeque): exact, from each group's count, sum and population variance.
    const double na = static_cast<double>(iterations);
    const double nb = static_cast<double>(n);
    const double mean_b = record.sum_ms / nb;
    const double squares_b = record.figures.variance * nb;
    if (iterations == 0) {
        squared_deviations = squares_b;
        min_ms = record.figures.min;
        max_ms = record.figures.max;
        start_ns = record.start_ns;
        end_ns = record.end_ns;
    } else {
        const double delta = mean_b - sum_ms / na;
        squared_deviations += squares_b + delta * delta * na * nb / (na + nb);
        min_ms = std::min(min_ms, record.figures.min);
        max_ms = std::max(max_ms, record.figures.max);
        start_ns = std::min(start_ns, record.start_ns);
        end_ns = std::max(end_ns, record.end_ns);
    }
    iterations += n;
    bytes += record.bytes_processed;
    sum_ms += record.sum_ms;
    latency += record.latency;
    const double achieved = achieved_rate(record);
    if (!std::isnan(achieved)) {
        achieved_steps_per_s =
            std::isnan(achieved_steps_per_s) ? achieved : achieved_steps_per_s + achieved;
    }
}

void merge_operations(operation_table& into, const operation_table& from)
{
    for (std::size_t i = 0; i < operation_count; ++i) {
        if (!from[i]) continue;
        if (!into[i]) into[i].emplace();
        into[i]->merge(*from[i]);
    }
}

double test_aggregate::mean_ms() const noexcept
{
    if (iterations == 0) return std::numeric_limits<double>::quiet_NaN();
    return sum_ms / static_cast<double>(iterations);
}

double test_aggregate::mean_start_lateness_ms() const noexcept
{
    if (!open_loop || iterations == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(open_loop->total_lateness_ns) / 1000000.0 /
           static_cast<double>(iterations);
}

double test_aggregate::standard_deviation_ms() const noexcept
{
    if (iterations == 0) return std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(squared_deviations / static_cast<double>(iterations));
}

void suite_aggregates::merge(const result_record& record)
{
    if (record.test_index >= made_.size()) return;
    std::unique_ptr<test_aggregate>& aggregate = made_[record.test_index];
    if (!aggregate) aggregate = std::make_unique<test_aggregate>(record.test_index);
    aggregate->merge(record);
}

}  // namespace bench
