#ifndef BENCH_REPORT_JSON_REPORT_HPP
#define BENCH_REPORT_JSON_REPORT_HPP

#include <bench/aggregate.hpp>
#include <bench/host_info.hpp>
#include <bench/result_record.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// What a JSON report says about a run besides its settings and its tests.
struct run_facts {
    std::vector<std::string> command_line;              // the argument list, program first
    std::chrono::system_clock::time_point started_at;
    std::vector<rank_facts> ranks;  // every rank of a run over several ranks; empty otherwise
};

// How a run ended, for the end of the JSON report.
struct run_ending {
    int interrupt_signal = 0;         // the signal that stopped the run, 0 if none
    std::vector<std::string> errors;  // the run's "Error in benchmark" messages
};

// The JSON report of a run: its context (version, command line, times, host,
// settings, tests), every result in the order it was reported, and the
// aggregate of each test. The results are kept as small JSON records (no
// histograms) until write(), which puts the whole document in a temporary
// file beside the path and renames it over the path, so that a reader never
// finds half a document. A path that is a symbolic link is written through:
// the temporary file goes beside the link's target and replaces the target. Numbers that are NaN or infinite are written as null.
class json_report {
public:
    json_report(std::string path, const run_settings& settings,
                const std::vector<test_spec>& tests, const run_facts& facts);
    ~json_report();

    json_report(const json_report&) = delete;
    json_report& operator=(const json_report&) = delete;

    void add(const result_record& result);

    // False when the document could not be written; failure_reason() says why.
    bool write(const suite_aggregates& aggregates, const run_ending& ending);

    const std::string& path() const noexcept { return path_; }
    const std::string& failure_reason() const noexcept { return failure_; }

private:
    struct document;

    std::string path_;
    std::string failure_;
    std::unique_ptr<document> document_;
};

}  // namespace bench

#endif
