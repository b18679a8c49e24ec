#ifndef BENCH_REPORT_RESULT_WRITER_HPP
#define BENCH_REPORT_RESULT_WRITER_HPP

#include <bench/aggregate.hpp>
#include <bench/report/csv_report.hpp>
#include <bench/report/json_report.hpp>
#include <bench/result_record.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

namespace bench {

// Where every finished result goes, whichever thread produced it (or, as a
// record made of plain numbers, wherever it came from): take() prints its
// console block, writes its report row and its JSON entry, merges it into its
// test's aggregate (made with the test's first result, and only when the
// aggregate blocks or the JSON report are asked for), and lets it go. One thread at a time uses a writer.
// In open loop a result whose thread started its steps at less than 95 % of
// the requested rate gets a line on err first: "rate not held on thread #T:
// requested R steps/s, achieved A steps/s".
class result_writer {
public:
    // Creates the report file (with its header) at once; the JSON report is
    // only written by finish().
    result_writer(const run_settings& settings, const std::vector<test_spec>& tests,
                  const run_facts& facts, std::ostream& out, std::ostream& err);
    ~result_writer();

    result_writer(const result_writer&) = delete;
    result_writer& operator=(const result_writer&) = delete;

    void take(const result_record& result);

    // Closes the report file; false, after saying why on err, when it did not
    // reach its file.
    bool close_report();

    // After the pass: the aggregate blocks (with --percentiles) and the JSON
    // report (with --json). False, after saying why on err, when the JSON
    // report could not be written.
    bool finish(const run_ending& ending);

    std::uint64_t results() const noexcept { return results_; }
    std::uint64_t failed() const noexcept { return failed_; }

    // The share of the requested rate below which a thread did not hold it.
    static constexpr double held_share = 0.95;

private:
    void warn_if_rate_not_held(const result_record& result);

    const run_settings& settings_;
    const std::vector<test_spec>& tests_;
    std::ostream& out_;
    std::ostream& err_;
    csv_report report_;
    std::unique_ptr<json_report> json_;
    suite_aggregates aggregates_;
    std::uint64_t results_ = 0;
    std::uint64_t failed_ = 0;
};

}  // namespace bench

#endif
