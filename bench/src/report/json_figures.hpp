#ifndef BENCH_SRC_REPORT_JSON_FIGURES_HPP
#define BENCH_SRC_REPORT_JSON_FIGURES_HPP

// The JSON forms of a result's and an aggregate's figures, shared by the
// parts of the JSON report.

#include <bench/aggregate.hpp>
#include <bench/intervals.hpp>
#include <bench/latency_histogram.hpp>
#include <bench/redirections.hpp>
#include <bench/result_record.hpp>
#include <bench/statistics.hpp>
#include <bench/workload/mix.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace bench::json_figures {

using json = nlohmann::ordered_json;

double ms(std::int64_t ns);
json percentiles_json(const percentile_values& values);
json throughput_json(const throughput& rate);
json figures_json(const result_figures& figures);
json histogram_json(const latency_histogram& histogram);
json intervals_json(const interval_series& series, std::vector<time_span> spans);
json optional_json(const std::optional<double>& value);
json rate_json(double requested, double achieved, double lateness_ms);
json operations_json(const operation_table& operations, bool success);
json redirections_json(const redirection_counts& counts);

}  // namespace bench::json_figures

#endif
