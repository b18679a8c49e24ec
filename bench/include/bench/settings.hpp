#ifndef BENCH_SETTINGS_HPP
#define BENCH_SETTINGS_HPP

#include <bench/protocol.hpp>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace bench {

// Everything the command line decides about a run.
struct run_settings {
    boost::asio::ip::tcp::endpoint daemon;  // where the store daemon listens
    protocol_type protocol = protocol_type::local;  // which client the threads use
    std::int32_t threads = 0;               // 1: single-thread pass, 2..100: multi-thread pass
    std::string test_file;                  // path of the test-suite file
    std::string report_file;                // path of the report file
};

// Parses and validates the command line. Prints the help and exits with 0 when
// asked to; prints the error and the help and exits with 1 on a bad command line.
run_settings parse_command_line(int argc, const char* const argv[]);

// "host:port"; the host is resolved when it is not a numeric IPv4 address.
std::pair<boost::asio::ip::tcp::endpoint, boost::system::error_code>
parse_endpoint(const std::string& text);

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
