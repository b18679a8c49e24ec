// What the console, file, system-log and callback outputs write.

#include "recorder.hpp"

#include <nox/log/logger.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kvtest::log;
namespace log = nox::log;
using kind = log::detail::output_kind;

using outputs_test = logger_fixture;

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

unsigned mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Sends file descriptor 1 to a file until restored.
class stdout_capture {
public:
    explicit stdout_capture(const std::string& path) {
        std::fflush(stdout);
        saved_ = ::dup(1);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::close(fd);
    }
    ~stdout_capture() {
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
    }
    stdout_capture(const stdout_capture&) = delete;
    stdout_capture& operator=(const stdout_capture&) = delete;

private:
    int saved_;
};

// The file line of a record as the callback saw it.
std::string expected_file_line(const record& r) {
    char head[128];
    std::snprintf(head, sizeof head, "%04u.%02u.%02u-%02u.%02u.%02u.%03u\t%9u\t%9u\t%10s\t",
                  unsigned(r.time[0]), unsigned(r.time[1]), unsigned(r.time[2]), unsigned(r.time[3]),
                  unsigned(r.time[4]), unsigned(r.time[5]), unsigned(r.time[6]), r.process, r.thread,
                  r.level.c_str());
    return head + r.text;
}

TEST_F(outputs_test, console_writes_prefix_and_text_and_is_added_once) {
    start(log::info);
    log::add_console_output();
    log::add_console_output();
    EXPECT_EQ(log::detail::output_kinds(), (std::vector<kind>{kind::callback, kind::console}));
    {
        stdout_capture capture(dir / "stdout");
        log::log_message(log::panic, boost::format("disk full"));
        log::flush_logger();
    }
    EXPECT_EQ(count_text("will log to the console"), 1);
    const auto all = kept();
    const auto lines = read_lines(dir / "stdout");
    ASSERT_EQ(lines.size(), all.size());
    const record& r = all.back();
    char time[16];
    std::snprintf(time, sizeof time, "%02u:%02u:%02u.%03u", unsigned(r.time[3]), unsigned(r.time[4]),
                  unsigned(r.time[5]), unsigned(r.time[6]));
    std::string thread = std::to_string(r.thread);
    thread.insert(0, 10 - thread.size(), ' ');
    EXPECT_EQ(lines.back(), time + thread + "       panic" + "disk full");
}

TEST_F(outputs_test, file_output_creates_its_directory_at_the_first_batch) {
    const std::string path = dir / "nested/deeper/app.log";
    start(log::info);
    log::add_file_output(path);
    EXPECT_FALSE(std::filesystem::exists(dir / "nested"));
    log::log_message(log::warning, boost::format("first"));
    log::log_message(log::detailed, boost::format("below the minimum"));
    log::log_message(static_cast<log::log_level>(9), boost::format("second"));
    log::flush_logger();
    EXPECT_EQ(mode_of(path), 0600u);
    const auto all = kept();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].text, "will log to the file " + path);
    std::vector<std::string> expected;
    for (const record& r : all) expected.push_back(expected_file_line(r));
    EXPECT_EQ(read_lines(path), expected);
}

TEST_F(outputs_test, an_existing_file_is_appended_to_and_gets_mode_0600) {
    const std::string path = dir / "app.log";
    { std::ofstream(path) << "earlier line\n"; }
    ::chmod(path.c_str(), 0644);
    start(log::warning);
    log::add_file_output(path);
    log::log_message(log::error, boost::format("appended"));
    log::flush_logger();
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"earlier line", expected_file_line(kept().at(0))}));
}

TEST_F(outputs_test, an_existing_file_its_owner_cannot_write_gets_mode_0600_before_it_is_opened) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto append_to_read_only_file = [] {
        if (!become_ordinary_user()) std::_Exit(2);
        bool kept_all = false;
        {
            scratch_dir own;  // made by the ordinary user
            const std::string path = own / "app.log";
            { std::ofstream(path) << "earlier line\n"; }
            ::chmod(path.c_str(), 0400);
            start(log::warning);
            log::add_file_output(path);
            log::log_message(log::error, boost::format("appended"));
            log::flush_logger();
            const auto lines = read_lines(path);
            std::fprintf(stderr, "mode %o, %zu lines\n", mode_of(path), lines.size());
            kept_all = mode_of(path) == 0600u &&
                       lines == std::vector<std::string>{"earlier line", expected_file_line(kept().at(0))};
            log::stop_logger();
        }
        std::_Exit(kept_all ? 0 : 1);
    };
    EXPECT_EXIT(append_to_read_only_file(), ::testing::ExitedWithCode(0), "");
}

TEST_F(outputs_test, a_file_that_cannot_be_opened_is_skipped_and_retried_at_the_next_batch) {
    const std::string path = dir / "app.log";
    std::filesystem::create_directory(path);  // a directory cannot be opened for writing
    start(log::warning);
    log::add_file_output(path);
    log::log_message(log::error, boost::format("skipped"));
    log::flush_logger();
    std::filesystem::remove(path);
    log::log_message(log::error, boost::format("written"));
    log::flush_logger();
    const auto all = kept();
    ASSERT_EQ(all.size(), 2u);  // the callback had both
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{expected_file_line(all[1])}));
}

TEST_F(outputs_test, file_output_rejects_an_empty_path) {
    start(log::info);
    EXPECT_THROW(
        try { log::add_file_output(""); } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "An empty path is not a valid log output");
            throw;
        },
        std::invalid_argument);
    EXPECT_EQ(log::detail::output_kinds(), (std::vector<kind>{kind::callback}));
}

TEST_F(outputs_test, syslog_gets_each_batch_between_open_and_close_and_is_added_once) {
    static std::vector<std::string> calls;
    calls.clear();
    log::detail::replace_syslog_api(
        {[](const char* ident, int option, int facility) {
             calls.push_back(std::string("open ") + ident + " " + std::to_string(option) + " " +
                             std::to_string(facility));
         },
         [](int priority, const char* text) { calls.push_back(std::to_string(priority) + " " + text); },
         [] { calls.push_back("close"); }});
    log::start_logger(log::info, no_background_flush);
    log::add_syslog_output();
    log::add_syslog_output();
    log::log_message(log::panic, boost::format("%s") % "100%s %n");
    log::log_message(static_cast<log::log_level>(7), boost::format("odd"));
    log::log_message(log::debug, boost::format("below the minimum"));
    log::flush_logger();
    const std::string info = std::to_string(LOG_INFO);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "open nox " + std::to_string(LOG_PID) + " " + std::to_string(LOG_USER),
                         info + " asynchronous logger scheduled task service started",
                         info + " will log to syslog", std::to_string(LOG_ALERT) + " 100%s %n", info + " odd",
                         "close"}));
    EXPECT_EQ(log::detail::output_kinds(), (std::vector<kind>{kind::syslog}));
}

TEST_F(outputs_test, callback_output_ignores_null_and_announces_the_function) {
    log::start_logger(log::info, no_background_flush);
    log::add_callback_output(nullptr);
    log::add_callback_output(keep_record);
    EXPECT_EQ(log::detail::output_kinds(), (std::vector<kind>{kind::callback}));
    log::flush_logger();
    std::ostringstream address;
    address << reinterpret_cast<const void*>(keep_record);
    EXPECT_EQ(count_text("will log to callback " + address.str()), 1);
}

}  // namespace
