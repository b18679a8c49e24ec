#ifndef BENCH_REPORT_CONSOLE_HPP
#define BENCH_REPORT_CONSOLE_HPP

#include <bench/aggregate.hpp>
#include <bench/report/reporter.hpp>
#include <bench/result_record.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>

#include <iosfwd>
#include <string>
#include <vector>

namespace bench {

// The console summary block of one result: its description, thread and
// processed bytes, then its figures, or " ### test in error " when it failed.
// Every line ends with a newline and a flush.
std::ostream& operator<<(std::ostream& out, const result_record& result);

// Two lines that follow a successful result's block on request:
//     latency percentiles = p50 X ms, p90 X ms, p99 X ms, p99.9 X ms, p99.99 X ms
//              throughput = X steps/s, Y B/s (scaled)
// and between them, for each operation type of a mix test, its steps (with
// the hits and misses of those that look an entry up) and percentiles:
//     get: N steps, H hits, M misses, p50 X ms, ...
// and, for an open-loop result, the percentiles of the service times and
// of how late the steps started:
//     service percentiles = p50 X ms, ...
//     start lateness percentiles = p50 X ms, ...
void write_latency_lines(std::ostream& out, const result_record& result);

// The block of one test over every thread that ran it: an empty line,
// "aggregate of test DESCRIPTION over N threads", the processed bytes, the
// lines above, and the pooled mean, standard deviation, min and max.
void write_aggregate(std::ostream& out, const test_aggregate& aggregate,
                     const std::string& description);

// The console's part of the reports: each result's block on out, followed
// with --percentiles by its latency lines, and at the end, with
// --percentiles, the aggregate block of each test that ran, in suite order.
// In open loop a result whose thread started its steps at less than 95 % of
// the requested rate gets a line on err first: "rate not held on thread #T:
// requested R steps/s, achieved A steps/s".
class console_reporter final : public reporter {
public:
    // `aggregates` are merged by the owner and read at finish().
    console_reporter(const run_settings& settings, const std::vector<test_spec>& tests,
                     const suite_aggregates& aggregates, std::ostream& out, std::ostream& err);

    void begin() override {}
    void take(const result_record& result) override;
    bool close() override { return true; }
    bool finish(const run_ending& ending) override;

    // The share of the requested rate below which a thread did not hold it.
    static constexpr double held_share = 0.95;

private:
    void warn_if_rate_not_held(const result_record& result);

    const bool percentiles_;
    const std::vector<test_spec>& tests_;
    const suite_aggregates& aggregates_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace bench

#endif
