// Where the reports go: the default report name and the check that a report
// can be written at a path (command_line.hpp).

#include <bench/command_line.hpp>

#include <boost/date_time/c_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/format.hpp>
#include <boost/spirit/include/karma.hpp>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

namespace fs = boost::filesystem;

boost::system::error_code invalid_argument() {
    return boost::system::errc::make_error_code(boost::system::errc::invalid_argument);
}

boost::system::error_code no_such_file() {
    return boost::system::errc::make_error_code(
        boost::system::errc::no_such_file_or_directory);
}

// A probe name: eight hex digits, a point, three hex digits; when no random
// name can be had, a numbered fallback.
std::string next_probe_name() {
    boost::system::error_code error;
    const fs::path name = fs::unique_path("%%%%%%%%.%%%", error);
    if (!error) return name.string();
    return (boost::format("nox_test_file_%d.txt") % std::rand()).str();
}

}  // namespace

std::string make_report_file_name() {
    namespace karma = boost::spirit::karma;

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    // Throws "could not convert calendar time to local time" on failure.
    boost::date_time::c_time::localtime(&now, &local);

    // The whole generator is one full expression: Spirit expressions hold
    // references to their parts, which must not outlive the statement.
    std::string name;
    std::back_insert_iterator<std::string> sink(name);
    const bool generated = karma::generate(
        sink,
        karma::lit("report_") << karma::right_align(4, '0')[karma::int_] << '_'
                              << karma::right_align(2, '0')[karma::int_] << '_'
                              << karma::right_align(2, '0')[karma::int_] << '-'
                              << karma::right_align(2, '0')[karma::int_] << '_'
                              << karma::right_align(2, '0')[karma::int_] << '_'
                              << karma::right_align(2, '0')[karma::int_] << ".csv",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec);
    if (!generated)
        throw std::runtime_error("Internal error, could not generate the report file name.");
    return name;
}

namespace detail {

boost::system::error_code probe_directory(const std::string& directory,
                                          const std::function<std::string()>& next_name) {
    // A taken name is skipped rather than reused: the probe is removed
    // afterwards, and it must never remove a file it did not create.
    constexpr int attempts = 16;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const fs::path probe = fs::path(directory) / next_name();
        const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {errno, boost::system::system_category()};
        }
        ::close(fd);
        boost::system::error_code error;
        const bool removed = fs::remove(probe, error);
        if (error) return error;
        if (!removed)
            return boost::system::errc::make_error_code(boost::system::errc::permission_denied);
        return {};
    }
    return boost::system::errc::make_error_code(boost::system::errc::file_exists);
}

}  // namespace detail

boost::system::error_code check_report_path(const std::string& path) {
    // No file can be opened under an empty name.
    if (path.empty()) return no_such_file();
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status)) {
        if (fs::is_regular_file(status)) return {};
        return error ? error : invalid_argument();
    }
    // A symbolic link whose target is missing, or a loop of links: opening
    // it later may fail after the whole run, so it is refused now.
    boost::system::error_code link_error;
    if (fs::is_symlink(fs::symlink_status(path, link_error)))
        return error ? error : no_such_file();

    fs::path directory = fs::path(path).parent_path();
    if (directory.empty()) directory = ".";

    const fs::file_status directory_status = fs::status(directory, error);
    if (!fs::exists(directory_status)) {
        error.clear();
        fs::create_directories(directory, error);
        return error;
    }
    if (!fs::is_directory(directory_status)) return invalid_argument();
    return detail::probe_directory(directory.string(), next_probe_name);
}

}  // namespace bench
