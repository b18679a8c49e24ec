#ifndef BENCH_SETTINGS_HPP
#define BENCH_SETTINGS_HPP

#include <bench/clients/options.hpp>
#include <bench/endpoint.hpp>
#include <bench/protocol.hpp>

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>

namespace bench {

// Everything the command line decides about a run.
struct run_settings {
    endpoint daemon;                        // where the store daemon listens
    protocol_type protocol = protocol_type::local;  // which client the threads use
    std::int32_t threads = 0;               // 1: single-thread pass, 2..100: multi-thread pass
    std::string test_file;                  // path of the test-suite file
    std::string report_file;                // path of the report file
    client_options clients;                 // what the clients are built with besides the daemon
    bool strict = false;                    // a failed test makes the exit status 3
    bool lockstep = false;                  // threads start each test together
    std::string json_file;                  // path of the JSON report; none when empty
    bool percentiles = false;               // latency percentiles and aggregates on the console
    std::optional<double> rate;             // open loop: each thread's steps per second; none: closed loop
};

// The highest --rate a thread can be given, in steps per second.
constexpr double max_rate = 10000000.0;

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
// ("kvbench " and bench::version()) to `out` and the errors (followed by the help on `out`) to `err`. Never ends the process;
// the errors of the default report name are raised.
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
