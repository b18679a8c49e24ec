#ifndef BENCH_COMMAND_LINE_HPP
#define BENCH_COMMAND_LINE_HPP

#include <bench/settings.hpp>

#include <boost/system/error_code.hpp>

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

// The command line of kvbench: its options, their checks and the run settings
// they make.

namespace bench {

// What a command line comes to: the settings of a run, or the exit status of
// a command line that ends the process before any run (0 after the help or
// the version, 1 after an error).
struct command_line_outcome {
    std::optional<run_settings> settings;  // set when the run goes on
    int exit_status = 0;                   // meaningful when settings is empty
};

// Which files the command-line check looks at: all of them, or none (a rank
// other than rank 0 of a run over several ranks neither reads the suite nor
// writes a report, so those paths mean nothing on its machine).
enum class file_checks { all, none };

// Parses and validates the command line, writing the help or the version
// ("kvbench " and bench::version()) to `out` and the errors (followed by the
// help on `out`) to `err`. Never ends the process; the errors of the default
// report name are raised.
command_line_outcome parse_arguments(int argc, const char* const argv[], std::ostream& out,
                                     std::ostream& err, file_checks files = file_checks::all);

// parse_arguments on the standard streams. Exits with 0 after the help or the
// version and with 1 after a bad command line.
run_settings parse_command_line(int argc, const char* const argv[]);

// "report_YYYY_MM_DD-hh_mm_ss.csv" from the local time.
std::string make_report_file_name();

// Zero when a report file can be written at path (missing directories are created).
boost::system::error_code check_report_path(const std::string& path);

namespace detail {

// Creates a probe file in directory and removes it again. Names come from
// next_name; a name that is already taken is skipped (never opened, never
// removed), up to a few attempts. Zero when the probe was created and removed.
boost::system::error_code probe_directory(const std::string& directory,
                                          const std::function<std::string()>& next_name);

}  // namespace detail

}  // namespace bench

#endif
