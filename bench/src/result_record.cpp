#include <bench/result_record.hpp>

#include <boost/accumulators/statistics/sum.hpp>

#include <chrono>
#include <utility>

namespace bench {

result_record make_record(test_result result, std::size_t test_index,
                          test_result::time_point run_start)
{
    result_record record;
    record.test_index = test_index;
    record.thread_number = result.thread_number;
    record.success = result.success;
    record.description = std::move(result.description);
    record.failure = std::move(result.failure);
    record.bytes_processed = result.bytes_processed;
    record.figures = compute_figures(result);
    record.sum_ms = boost::accumulators::sum(result.timings);
    if (record.steps() > 0) {
        const auto since_start = [run_start](test_result::time_point at) {
            return std::chrono::duration_cast<std::chrono::nanoseconds>(at - run_start).count();
        };
        record.start_ns = since_start(result.first_step_start);
        record.end_ns = since_start(result.last_step_end);
        record.last_start_ns = since_start(result.last_step_start);
    }
    record.latency = std::move(result.latency);
    record.open_loop = std::move(result.open_loop);
    record.operations = std::move(result.operations);
    record.redirections = result.redirections;
    if (result.intervals) record.intervals = result.intervals->finish();
    return record;
}

throughput throughput_over(std::uint64_t steps, std::uint64_t bytes, std::int64_t span_ns)
{
    if (span_ns <= 0) return {};
    const double seconds = static_cast<double>(span_ns) / 1e9;
    return {static_cast<double>(steps) / seconds, static_cast<double>(bytes) / seconds};
}

}  // namespace bench
