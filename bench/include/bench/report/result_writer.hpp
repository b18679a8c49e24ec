#ifndef BENCH_REPORT_RESULT_WRITER_HPP
#define BENCH_REPORT_RESULT_WRITER_HPP

#include <bench/aggregate.hpp>
#include <bench/report/reporter.hpp>
#include <bench/result_record.hpp>
#include <bench/run/run_facts.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

namespace bench {

// Every report of a run together, and where every finished result goes,
// whichever thread produced it (or, as a record made of plain numbers,
// wherever it came from): the console (console_reporter), the report file
// (csv_reporter) and, with --json, the JSON report (json_reporter), in this
// order at each step. It merges each result into its test's aggregate (made
// with the test's first result, and only when the aggregate blocks or the
// JSON report are asked for) and counts the results and the failed ones.
class result_writer final : public reporter {
public:
    result_writer(const run_settings& settings, const std::vector<test_spec>& tests,
                  const run_facts& facts, std::ostream& out, std::ostream& err);
    ~result_writer() override;

    result_writer(const result_writer&) = delete;
    result_writer& operator=(const result_writer&) = delete;

    // Creates the report file (with its header); the JSON report is only
    // written by finish().
    void begin() override;
    void take(const result_record& result) override;
    // Closes the report file.
    bool close() override;
    // The aggregate blocks (with --percentiles) and the JSON report (with
    // --json).
    bool finish(const run_ending& ending) override;

    std::uint64_t results() const noexcept { return results_; }
    std::uint64_t failed() const noexcept { return failed_; }

private:
    suite_aggregates aggregates_;
    const bool merge_;  // whether a report reads the aggregates
    std::vector<std::unique_ptr<reporter>> reporters_;
    std::uint64_t results_ = 0;
    std::uint64_t failed_ = 0;
};

}  // namespace bench

#endif
