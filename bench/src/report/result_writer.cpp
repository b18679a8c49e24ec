#include <bench/report/result_writer.hpp>

#include <bench/format.hpp>
#include <bench/kinds.hpp>
#include <bench/report/console.hpp>

#include <ostream>

namespace bench {

result_writer::result_writer(const run_settings& settings, const std::vector<test_spec>& tests,
                             const run_facts& facts, std::ostream& out, std::ostream& err)
    : settings_(settings),
      tests_(tests),
      out_(out),
      err_(err),
      report_(settings.report_file),
      aggregates_(tests.size()) {
    if (!settings.json_file.empty())
        json_ = std::make_unique<json_report>(settings.json_file, settings, tests, facts);
}

result_writer::~result_writer() = default;

void result_writer::take(const result_record& result) {
    ++results_;
    if (!result.success) ++failed_;
    warn_if_rate_not_held(result);
    out_ << result;
    if (settings_.percentiles && result.success) write_latency_lines(out_, result);
    out_.flush();
    report_.write(result);
    if (json_) json_->add(result);
    // Only the aggregate blocks and the JSON report read the aggregates.
    if (settings_.percentiles || json_) aggregates_.merge(result);
}

void result_writer::warn_if_rate_not_held(const result_record& result) {
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

bool result_writer::close_report() {
    report_.close();
    if (report_.ok()) return true;
    err_ << ("cannot write report file " + report_.path() + ": " + report_.failure_reason() +
             "\n")
         << std::flush;
    return false;
}

bool result_writer::finish(const run_ending& ending) {
    if (settings_.percentiles) {
        for (std::size_t test = 0; test < aggregates_.size(); ++test) {
            if (const test_aggregate* aggregate = aggregates_.find(test))
                write_aggregate(out_, *aggregate, describe(tests_[test]));
        }
    }
    if (!json_ || json_->write(aggregates_, ending)) return true;
    err_ << ("cannot write JSON report " + json_->path() + ": " + json_->failure_reason() + "\n")
         << std::flush;
    return false;
}

}  // namespace bench
