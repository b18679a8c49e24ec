#ifndef BENCH_REPORT_CSV_REPORT_HPP
#define BENCH_REPORT_CSV_REPORT_HPP

#include <bench/report/reporter.hpp>
#include <bench/result_record.hpp>

#include <fstream>
#include <iosfwd>
#include <optional>
#include <string>

namespace bench {

// The semicolon-separated report file: a header line, then one CR LF row per
// result, written byte for byte (no line-end translation). Each line reaches
// the file when it is written.
class csv_report {
public:
    // Creates or truncates the file and writes the header.
    explicit csv_report(const std::string& path);
    ~csv_report();  // closes the file, never throws

    csv_report(const csv_report&) = delete;
    csv_report& operator=(const csv_report&) = delete;

    // Appends the result's row: its figures, or seven "0" when it failed.
    csv_report& write(const result_record& result);

    // Flushes and closes the file; afterwards ok() tells whether everything
    // reached it. Calling it again does nothing.
    void close();
    // False once opening or writing the file has failed.
    bool ok() const noexcept;
    // Why the file could not be opened or written, for instance
    // "cannot open: Permission denied" (empty while ok()).
    const std::string& failure_reason() const noexcept;
    const std::string& path() const noexcept;

private:
    // Writes text unless an earlier failure already lost the file.
    void append(const std::string& text);
    // Keeps the first failure only, with the system's reason when there is one.
    void record_failure(const char* what);

    std::string path_;
    std::ofstream file_;
    std::string failure_;
};

// The report file as one of the run's reporters: created at begin(), closed
// at close(), which says on err when it did not reach its file: "cannot
// write report file PATH: REASON".
class csv_reporter final : public reporter {
public:
    csv_reporter(std::string path, std::ostream& err);

    void begin() override;
    void take(const result_record& result) override;
    bool close() override;
    bool finish(const run_ending&) override { return true; }

private:
    const std::string path_;
    std::ostream& err_;
    std::optional<csv_report> report_;
};

}  // namespace bench

#endif
