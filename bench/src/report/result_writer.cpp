#include <bench/report/result_writer.hpp>

#include <bench/report/console.hpp>
#include <bench/report/csv_report.hpp>
#include <bench/report/json_report.hpp>

namespace bench {

result_writer::result_writer(const run_settings& settings, const std::vector<test_spec>& tests,
                             const run_facts& facts, std::ostream& out, std::ostream& err)
    : aggregates_(tests.size()), merge_(settings.percentiles || !settings.json_file.empty()) {
    reporters_.push_back(
        std::make_unique<console_reporter>(settings, tests, aggregates_, out, err));
    reporters_.push_back(std::make_unique<csv_reporter>(settings.report_file, err));
    if (!settings.json_file.empty()) {
        reporters_.push_back(std::make_unique<json_reporter>(settings.json_file, settings, tests,
                                                             facts, aggregates_, err));
    }
}

result_writer::~result_writer() = default;

void result_writer::begin() {
    for (const auto& each : reporters_) each->begin();
}

void result_writer::take(const result_record& result) {
    ++results_;
    if (!result.success) ++failed_;
    for (const auto& each : reporters_) each->take(result);
    if (merge_) aggregates_.merge(result);
}

bool result_writer::close() {
    bool closed = true;
    for (const auto& each : reporters_) closed = each->close() && closed;
    return closed;
}

bool result_writer::finish(const run_ending& ending) {
    bool finished = true;
    for (const auto& each : reporters_) finished = each->finish(ending) && finished;
    return finished;
}

}  // namespace bench
