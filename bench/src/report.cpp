#include <bench/report.hpp>

#include <bench/format.hpp>
#include <bench/statistics.hpp>

#include <cerrno>
#include <cmath>
#include <locale>
#include <ostream>
#include <sstream>
#include <system_error>

namespace bench {

namespace {

constexpr const char* report_header =
    "thread;test description;iterations count;iteration size;mean time;median time;max;min;"
    "standard deviation;mean bandwidth;error of mean bandwidth\r\n";

// The stream default (general notation, six significant digits) in the
// classic locale, whatever the caller's stream was set to. A NaN is "nan"
// whatever its sign bit: 0 / 0 gives a negative NaN on common processors.
std::string number_text(double value)
{
    if (std::isnan(value)) {
        return "nan";
    }
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

std::string report_row(const test_result& result)
{
    const result_figures figures = compute_figures(result);

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

std::ostream& operator<<(std::ostream& out, const test_result& result)
{
    const result_figures figures = compute_figures(result);

    out << std::endl;
    out << "test " << result.description << " done on thread #"
        << std::to_string(result.thread_number) << std::endl;
    out << "processed " << format_scaled(result.bytes_processed, "B", 1024.0) << " ("
        << std::to_string(figures.iterations_count) << " iterations)" << std::endl;
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

csv_report& csv_report::write(const test_result& result)
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

}  // namespace bench
