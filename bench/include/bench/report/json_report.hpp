#ifndef BENCH_REPORT_JSON_REPORT_HPP
#define BENCH_REPORT_JSON_REPORT_HPP

#include <bench/aggregate.hpp>
#include <bench/host_info.hpp>
#include <bench/report/reporter.hpp>
#include <bench/result_record.hpp>
#include <bench/run/run_facts.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace bench {

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

// The JSON report as one of the run's reporters: each result is added as it
// is taken, and the document is written by finish() with the aggregates,
// which says on err when it cannot be: "cannot write JSON report PATH: REASON".
class json_reporter final : public reporter {
public:
    // `aggregates` are merged by the owner and read at finish().
    json_reporter(std::string path, const run_settings& settings,
                  const std::vector<test_spec>& tests, const run_facts& facts,
                  const suite_aggregates& aggregates, std::ostream& err);

    void begin() override {}
    void take(const result_record& result) override { report_.add(result); }
    bool close() override { return true; }
    bool finish(const run_ending& ending) override;

private:
    json_report report_;
    const suite_aggregates& aggregates_;
    std::ostream& err_;
};

}  // namespace bench

#endif
