#include <bench/report/csv_report.hpp>

#include <bench/format.hpp>

#include <cerrno>
#include <ostream>
#include <system_error>
#include <utility>

namespace bench {

namespace {

constexpr const char* report_header =
    "thread;test description;iterations count;iteration size;mean time;median time;max;min;"
    "standard deviation;mean bandwidth;error of mean bandwidth\r\n";

std::string report_row(const result_record& result)
{
    const result_figures& figures = result.figures;

    std::string description = result.description;
    for (char& c : description) {
        if (c == ';') {
            c = ' ';
        }
    }

    std::string row = std::to_string(result.thread_number) + ';' + description + ';' +
                      std::to_string(figures.iterations_count) + ';' +
                      std::to_string(figures.iteration_size);
    if (result.success) {
        for (double figure : {figures.mean_time, figures.median_time, figures.max, figures.min,
                              figures.standard_deviation, figures.mean_bandwidth,
                              figures.error_of_mean_bandwidth}) {
            row += ';';
            row += number_text(figure);
        }
    } else {
        row += ";0;0;0;0;0;0;0";
    }
    row += "\r\n";
    return row;
}

}  // namespace

csv_report::csv_report(const std::string& path) : path_(path)
{
    errno = 0;
    file_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file_.is_open()) {
        record_failure("cannot open");
        return;
    }
    append(report_header);
}

csv_report::~csv_report()
{
    try {
        close();
    } catch (...) {
        // Nothing can be reported from here; ok() was the place to ask.
    }
}

csv_report& csv_report::write(const result_record& result)
{
    append(report_row(result));
    return *this;
}

void csv_report::close()
{
    if (!file_.is_open()) {
        return;
    }
    errno = 0;
    file_.flush();
    if (!file_) {
        record_failure("cannot write");
    }
    file_.close();
    if (!file_) {
        record_failure("cannot close");
    }
}

bool csv_report::ok() const noexcept
{
    return failure_.empty();
}

const std::string& csv_report::failure_reason() const noexcept
{
    return failure_;
}

const std::string& csv_report::path() const noexcept
{
    return path_;
}

void csv_report::append(const std::string& text)
{
    if (!file_.is_open()) {
        record_failure("written after close");
        return;
    }
    if (!file_) {
        return;  // the first failure is already recorded
    }
    errno = 0;
    // Each line goes to the file as soon as it is written, so that a run
    // that is stopped or killed keeps every result it reported.
    file_.write(text.data(), static_cast<std::streamsize>(text.size()));
    file_.flush();
    if (!file_) {
        record_failure("cannot write");
    }
}

void csv_report::record_failure(const char* what)
{
    if (!failure_.empty()) {
        return;
    }
    const int error = errno;
    failure_ = what;
    if (error != 0) {
        failure_ += ": ";
        failure_ += std::error_code(error, std::generic_category()).message();
    }
}

csv_reporter::csv_reporter(std::string path, std::ostream& err) : path_(std::move(path)), err_(err)
{
}

void csv_reporter::begin()
{
    report_.emplace(path_);
}

void csv_reporter::take(const result_record& result)
{
    report_->write(result);
}

bool csv_reporter::close()
{
    report_->close();
    if (report_->ok()) {
        return true;
    }
    err_ << ("cannot write report file " + report_->path() + ": " + report_->failure_reason() +
             "\n")
         << std::flush;
    return false;
}

}  // namespace bench
