#include "json_figures.hpp"

#include <utility>

namespace bench::json_figures {

// Milliseconds from nanoseconds.
double ms(std::int64_t ns) { return static_cast<double>(ns) / 1000000.0; }

json percentiles_json(const percentile_values& values) {
    json object = json::object();
    for (std::size_t i = 0; i < reported_percentiles.size(); ++i)
        object[reported_percentiles[i].name] = values[i];
    return object;
}

json throughput_json(const throughput& rate) {
    return {{"steps_per_s", rate.steps_per_s}, {"bytes_per_s", rate.bytes_per_s}};
}

json figures_json(const result_figures& figures) {
    return {{"mean_ms", figures.mean_time},
            {"error_of_mean_ms", figures.error_of_mean_time},
            {"median_ms", figures.median_time},
            {"max_ms", figures.max},
            {"min_ms", figures.min},
            {"variance_ms2", figures.variance},
            {"standard_deviation_ms", figures.standard_deviation},
            {"iteration_size", figures.iteration_size},
            {"mean_bandwidth", figures.mean_bandwidth},
            {"error_of_mean_bandwidth", figures.error_of_mean_bandwidth}};
}

// The non-empty buckets in ascending order; the underflow bucket has no
// lower edge, the overflow bucket no upper edge.
json histogram_json(const latency_histogram& histogram) {
    json lower = json::array(), upper = json::array(), counts = json::array();
    for (auto i = latency_histogram::first_index; i <= latency_histogram::last_index; ++i) {
        const std::uint64_t count = histogram.count(i);
        if (count == 0) continue;
        const auto low = latency_histogram::lower_ns(i);
        const auto high = latency_histogram::upper_ns(i);
        lower.push_back(low ? json(ms(*low)) : json(nullptr));
        upper.push_back(high ? json(ms(*high)) : json(nullptr));
        counts.push_back(count);
    }
    return {{"lower_ms", std::move(lower)}, {"upper_ms", std::move(upper)},
            {"counts", std::move(counts)}};
}

// Each interval from the first that holds a step or a failure to the last,
// the empty ones between included: its start from the run's start, its
// figures, and its steps per second over the part of it that the spans (the
// test's time on each of its threads) covered.
json intervals_json(const interval_series& series, std::vector<time_span> spans) {
    const std::vector<std::int64_t> covered = covered_ns(series, std::move(spans));
    json list = json::array();
    for (std::size_t i = 0; i < series.intervals.size(); ++i) {
        const interval_figures& figures = series.intervals[i];
        const auto start_ns = static_cast<std::int64_t>(series.first + i) * series.length_ns;
        const double seconds = static_cast<double>(covered[i]) / 1e9;
        const double steps_per_s =
            covered[i] > 0 ? static_cast<double>(figures.steps) / seconds : 0.0;
        list.push_back({{"start_ms", ms(start_ns)},
                        {"steps", figures.steps},
                        {"bytes", figures.bytes},
                        {"failures", figures.failures},
                        {"steps_per_s", steps_per_s},
                        {"percentiles_ms", percentiles_json(figures.percentiles_ms())}});
    }
    return list;
}

// A number, or null for none.
json optional_json(const std::optional<double>& value) {
    return value ? json(*value) : json(nullptr);
}

// The requested rate (NaN, written as null, in closed loop), the achieved one
// and, in open loop, how late the steps started on average.
json rate_json(double requested, double achieved, double lateness_ms) {
    return {{"requested", requested},
            {"achieved", achieved},
            {"mean_start_lateness_ms", lateness_ms}};
}

// Each operation type a mix test used, by name: its steps, for those that
// look an entry up its hits and misses, and its percentiles (null when the
// result failed, as the result's own). Null for the other kinds.
json operations_json(const operation_table& operations, bool success) {
    json object = json::object();
    for (std::size_t i = 0; i < operation_count; ++i) {
        if (!operations[i]) continue;
        const operation_figures& figures = *operations[i];
        json each = {{"steps", figures.steps}};
        if (static_cast<operation>(i) != operation::put) {
            each["hits"] = figures.hits;
            each["misses"] = figures.misses;
        }
        each["percentiles_ms"] = percentiles_json(figures.percentiles());
        if (!success)
            for (auto& [name, value] : each["percentiles_ms"].items()) value = nullptr;
        object[operation_names[i]] = std::move(each);
    }
    return object.empty() ? json(nullptr) : object;
}

// Only a run over a Redis Cluster counts redirections: the key is left out
// of the others' results, as "operations" is of tests that are no mix.
json redirections_json(const redirection_counts& counts) {
    return {{"moved", counts.moved}, {"ask", counts.ask}};
}

}  // namespace bench::json_figures
