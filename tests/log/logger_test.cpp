// Queueing, flushing and the life of the process-wide logger, observed
// through a callback output.

#include "recorder.hpp"

#include <nox/log/logger.hpp>

#include <gtest/gtest.h>

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace kvtest::log;
namespace log = nox::log;

using logger_test = logger_fixture;

TEST_F(logger_test, without_a_logger_every_call_returns_at_once) {
    log::log_message(log::panic, boost::format("dropped"));
    log::flush_logger();
    EXPECT_NO_THROW(log::add_file_output(""));
    log::add_console_output();
    log::add_syslog_output();
    log::add_callback_output(keep_record);
    EXPECT_FALSE(log::detail::logger_running());
    EXPECT_TRUE(log::detail::output_kinds().empty());
    EXPECT_TRUE(kept().empty());
}

TEST_F(logger_test, keeps_records_at_or_above_the_minimum_level) {
    start(log::warning);
    for (std::int32_t level : {0, 1, 2, 3, 4, 5, 7})
        log::log_message(static_cast<log::log_level>(level), boost::format("level %d") % level);
    log::flush_logger();
    std::vector<std::string> seen;
    for (const record& r : kept()) seen.push_back(r.level + ": " + r.text);
    EXPECT_EQ(seen, (std::vector<std::string>{"warning: level 3", "error: level 4", "panic: level 5",
                                              "unknown: level 7"}));
}

TEST_F(logger_test, cuts_the_text_to_1023_bytes) {
    start(log::info);
    const std::size_t lengths[] = {0, 1, 1022, 1023, 1024, 2000};
    for (std::size_t n : lengths) log::log_message(log::warning, boost::format("%s") % std::string(n, 'a' + n % 26));
    log::flush_logger();
    const auto all = kept();
    ASSERT_EQ(all.size(), std::size(lengths));
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        const std::size_t n = lengths[i];
        const std::size_t expected = n < 1023 ? n : 1023;
        SCOPED_TRACE(n);
        EXPECT_EQ(all[i].length, expected);
        EXPECT_EQ(all[i].text, std::string(expected, 'a' + n % 26));  // NUL right after the text
    }
}

TEST_F(logger_test, writes_arguments_that_were_never_bound_as_empty) {
    start(log::info);
    log::log_message(log::error, boost::format("a %1% b %2%.") % 1);
    log::flush_logger();
    EXPECT_EQ(count_text("a 1 b ."), 1);
}

TEST_F(logger_test, flushes_2500_records_in_passes_of_1000_in_queue_order) {
    // Each pass opens and closes the system log once, which shows its size.
    static std::vector<std::size_t> passes;
    passes.clear();
    log::detail::replace_syslog_api({[](const char*, int, int) { passes.push_back(0); },
                                     [](int, const char*) { ++passes.back(); }, [] {}});
    start(log::warning);
    log::add_syslog_output();
    for (int i = 0; i < 2500; ++i) log::log_message(log::warning, boost::format("record %d") % i);
    log::flush_logger();
    EXPECT_EQ(passes, (std::vector<std::size_t>{1000, 1000, 500}));
    const auto texts = kept_texts();
    ASSERT_EQ(texts.size(), 2500u);
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(texts[i], "record " + std::to_string(i));
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(logger_test, calls_the_callback_with_the_record_fields) {
    start(log::info);
    const std::int64_t before = now_ms();
    log::log_message(log::error, boost::format("disk %s is full") % "sda");
    const std::int64_t after = now_ms();
    log::flush_logger();
    const auto all = kept();
    ASSERT_EQ(all.size(), 1u);
    const record& r = all[0];
    EXPECT_EQ(r.level, "error");
    EXPECT_EQ(r.text, "disk sda is full");
    EXPECT_EQ(r.length, r.text.size());
    EXPECT_EQ(r.process, static_cast<std::uint32_t>(getpid()));
    const pthread_t self = pthread_self();
    std::uint64_t id = 0;
    std::memcpy(&id, &self, sizeof self < sizeof id ? sizeof self : sizeof id);
    EXPECT_EQ(r.thread, static_cast<std::uint32_t>(id));
    const auto& t = r.time;
    ASSERT_TRUE(t[1] >= 1 && t[1] <= 12 && t[2] >= 1 && t[3] < 24 && t[4] < 60 && t[5] < 61 && t[6] < 1000);
    const std::int64_t at = ((days_from_civil(t[0], t[1], t[2]) * 24 + t[3]) * 60 + t[4]) * 60 * 1000 +
                            t[5] * 1000 + t[6];
    EXPECT_GE(at, before);
    EXPECT_LE(at, after);
}

TEST_F(logger_test, drops_a_record_whose_allocation_fails) {
    start(log::info);
    log::detail::fail_record_allocations(1);
    log::log_message(log::error, boost::format("lost"));
    log::log_message(log::error, boost::format("kept"));
    log::flush_logger();
    EXPECT_EQ(count_text("lost"), 0);
    EXPECT_EQ(count_text("kept"), 1);
}

TEST_F(logger_test, stop_writes_what_is_queued_and_a_restart_begins_afresh) {
    log::detail::replace_syslog_api({[](const char*, int, int) {}, [](int, const char*) {}, [] {}});
    start(log::info);
    log::add_syslog_output();
    log::log_message(log::error, boost::format("before stop"));
    log::stop_logger();
    EXPECT_EQ(count_text("before stop"), 1);
    EXPECT_EQ(count_text("asynchronous logger scheduled task service stopped"), 1);
    EXPECT_FALSE(log::detail::logger_running());

    const std::size_t count = kept().size();
    log::log_message(log::panic, boost::format("while stopped"));
    log::flush_logger();
    log::stop_logger();
    EXPECT_EQ(kept().size(), count);

    start(log::warning);
    log::add_syslog_output();  // the once-only flag was cleared by the stop
    EXPECT_EQ(log::detail::output_kinds(),
              (std::vector<log::detail::output_kind>{log::detail::output_kind::callback,
                                                     log::detail::output_kind::syslog}));
    log::log_message(log::info, boost::format("below the new minimum"));
    log::log_message(log::error, boost::format("after restart"));
    log::flush_logger();
    EXPECT_EQ(count_text("below the new minimum"), 0);
    EXPECT_EQ(count_text("after restart"), 1);
}

TEST_F(logger_test, configure_adds_the_outputs_in_order_or_starts_nothing) {
    using kind = log::detail::output_kind;
    log::log_config config;
    config.level = log::warning;
    config.files = {dir / "a.log", ""};
    try {
        log::configure_logger(config);
        FAIL() << "an empty path was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "An empty path is not a valid log output");
    }
    EXPECT_FALSE(log::detail::logger_running());

    log::detail::replace_syslog_api({[](const char*, int, int) {}, [](int, const char*) {}, [] {}});
    config.files = {dir / "a.log", dir / "b.log"};
    config.console = true;
    config.syslog = true;
    log::configure_logger(config);
    log::configure_logger(config);  // a second call changes nothing
    EXPECT_EQ(log::detail::output_kinds(), (std::vector<kind>{kind::file, kind::file, kind::console, kind::syslog}));
}

}  // namespace
