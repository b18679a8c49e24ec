#include <bench/report/console.hpp>

#include <bench/format.hpp>
#include <bench/kinds.hpp>
#include <bench/status/status_line.hpp>

#include <optional>
#include <ostream>
#include <sstream>

namespace bench {

namespace {

void write_processed(std::ostream& out, std::uint64_t bytes, std::uint64_t steps)
{
    out << "processed " << format_scaled(bytes, "B", 1024.0) << " (" << std::to_string(steps)
        << " iterations)" << std::endl;
}

// Every reported percentile but p100, which is the max of the block.
void write_percentiles(std::ostream& out, const char* label, const percentile_values& percentiles)
{
    std::string line = label;
    for (std::size_t i = 0; i + 1 < reported_percentiles.size(); ++i) {
        if (i > 0) line += ", ";
        line += reported_percentiles[i].name;
        line += ' ';
        line += number_text(percentiles[i]);
        line += " ms";
    }
    out << line << std::endl;
}

// A line for each operation type a mix test used, in the shape of the
// latency line: "    get: N steps, H hits, M misses, p50 X ms, ...". A
// put finds no entry that could be missing: it has steps only.
void write_operation_lines(std::ostream& out, const operation_table& operations)
{
    for (std::size_t i = 0; i < operation_count; ++i) {
        if (!operations[i]) continue;
        const operation_figures& figures = *operations[i];
        std::string label = std::string("    ") + operation_names[i] + ": " +
                            std::to_string(figures.steps) + " steps, ";
        if (static_cast<operation>(i) != operation::put) {
            label += std::to_string(figures.hits) + " hits, " + std::to_string(figures.misses) +
                     " misses, ";
        }
        write_percentiles(out, label.c_str(), figures.percentiles());
    }
}

// The percentiles of an open-loop run besides its response times: how long
// the store took once a step started, and how late the steps started.
struct open_loop_percentiles {
    percentile_values service;
    percentile_values start_lateness;
};

// The service and start lateness lines come only from open-loop runs, where
// the latency line holds the response times.
void write_percentiles_and_throughput(std::ostream& out, const percentile_values& percentiles,
                                      const operation_table& operations,
                                      const std::optional<open_loop_percentiles>& open_loop,
                                      const throughput& rate)
{
    write_percentiles(out, "    latency percentiles = ", percentiles);
    write_operation_lines(out, operations);
    if (open_loop) {
        write_percentiles(out, "    service percentiles = ", open_loop->service);
        write_percentiles(out, "    start lateness percentiles = ", open_loop->start_lateness);
    }
    out << "             throughput = " << number_text(rate.steps_per_s) << " steps/s, "
        << format_scaled(rate.bytes_per_s, "B/s", 1024.0) << std::endl;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const result_record& result)
{
    const result_figures& figures = result.figures;

    out << std::endl;
    out << "test " << result.description << " done on thread #"
        << std::to_string(result.thread_number) << std::endl;
    write_processed(out, result.bytes_processed, figures.iterations_count);
    if (!result.success) {
        out << " ### test in error " << std::endl;
        return out;
    }
    out << "              mean time = " << number_text(figures.mean_time) << " ms " << std::endl;
    out << "     error of mean time = " << number_text(figures.error_of_mean_time) << " ms"
        << std::endl;
    out << "            median time = " << number_text(figures.median_time) << " ms "
        << std::endl;
    out << "                    max = " << number_text(figures.max) << " ms " << std::endl;
    out << "                    min = " << number_text(figures.min) << " ms " << std::endl;
    out << "               variance = " << number_text(figures.variance) << " " << std::endl;
    out << "     standard deviation = " << number_text(figures.standard_deviation) << std::endl;
    out << "         mean bandwidth = " << format_scaled(figures.mean_bandwidth, "B/s", 1024.0)
        << std::endl;
    out << "error of mean bandwidth = " << number_text(figures.error_of_mean_bandwidth) << " %"
        << std::endl;
    return out;
}

void write_latency_lines(std::ostream& out, const result_record& result)
{
    std::optional<open_loop_percentiles> open_loop;
    if (result.open_loop)
        open_loop = {service_percentiles_of(result), start_lateness_percentiles_of(result)};
    write_percentiles_and_throughput(out, percentiles_of(result), result.operations, open_loop,
                                     throughput_of(result));
}

void write_aggregate(std::ostream& out, const test_aggregate& aggregate,
                     const std::string& description)
{
    std::string heading = "aggregate of test " + description + " over " +
                          std::to_string(aggregate.threads) +
                          (aggregate.threads == 1 ? " thread" : " threads");
    if (aggregate.failed_threads > 0) {
        heading += ", " + std::to_string(aggregate.failed_threads) + " failed";
    }
    out << std::endl;
    out << heading << std::endl;
    // Failed results are not merged: with none other there is nothing to
    // show but that.
    if (aggregate.none_succeeded()) {
        out << "    no thread succeeded" << std::endl;
        return;
    }
    write_processed(out, aggregate.bytes, aggregate.iterations);
    std::optional<open_loop_percentiles> open_loop;
    if (aggregate.open_loop)
        open_loop = {aggregate.service_percentiles(), aggregate.start_lateness_percentiles()};
    write_percentiles_and_throughput(out, aggregate.percentiles(), aggregate.operations,
                                     open_loop, aggregate.rate());
    out << "              mean time = " << number_text(aggregate.mean_ms()) << " ms" << std::endl;
    out << "     standard deviation = " << number_text(aggregate.standard_deviation_ms()) << " ms"
        << std::endl;
    out << "                    min = " << number_text(aggregate.min_ms) << " ms" << std::endl;
    out << "                    max = " << number_text(aggregate.max_ms) << " ms" << std::endl;
}

console_reporter::console_reporter(const run_settings& settings,
                                   const std::vector<test_spec>& tests,
                                   const suite_aggregates& aggregates, std::ostream& out,
                                   std::ostream& err)
    : percentiles_(settings.percentiles), tests_(tests), aggregates_(aggregates), out_(out), err_(err)
{
}

void console_reporter::take(const result_record& result)
{
    // The status line, if one is drawn, goes off the terminal meanwhile.
    const console_turn turn;
    warn_if_rate_not_held(result);
    // The block reaches the stream in one write, so that what a worker
    // prints meanwhile on the same stream (thread 0's line on a mix test's
    // load) lands between two blocks, never inside one.
    std::ostringstream block;
    block << result;
    if (percentiles_ && result.success) write_latency_lines(block, result);
    out_ << block.str() << std::flush;
}

void console_reporter::warn_if_rate_not_held(const result_record& result)
{
    if (!result.open_loop || !result.success) return;
    const double requested = result.open_loop->requested_rate;
    const double achieved = achieved_rate(result);
    // Below two steps there is no achieved rate (NaN), and nothing to say.
    if (!(achieved < held_share * requested)) return;
    err_ << ("rate not held on thread #" + std::to_string(result.thread_number) +
             ": requested " + number_text(requested) + " steps/s, achieved " +
             number_text(achieved) + " steps/s\n")
         << std::flush;
}

bool console_reporter::finish(const run_ending&)
{
    if (!percentiles_) return true;
    for (std::size_t test = 0; test < aggregates_.size(); ++test) {
        if (const test_aggregate* aggregate = aggregates_.find(test))
            write_aggregate(out_, *aggregate, describe(tests_[test]));
    }
    return true;
}

}  // namespace bench
