// The background task: its messages, its period and its errors.

#include "recorder.hpp"

#include <nox/log/detail/scheduled_task.hpp>
#include <nox/log/logger.hpp>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace kvtest::log;
namespace log = nox::log;
using log::detail::scheduled_task;
using namespace std::chrono_literals;

using scheduled_task_test = logger_fixture;

// Whether `wanted` appear in `texts` in this order, other texts between them.
bool in_order(const std::vector<std::string>& texts, const std::vector<std::string>& wanted) {
    auto at = texts.begin();
    for (const std::string& w : wanted) {
        at = std::find(at, texts.end(), w);
        if (at == texts.end()) return false;
        ++at;
    }
    return true;
}

TEST_F(scheduled_task_test, logger_task_reports_its_start_and_stop) {
    log::start_logger(log::detailed, no_background_flush);
    log::add_callback_output(keep_record);
    log::stop_logger();
    const std::string task = "asynchronous logger scheduled task";
    EXPECT_TRUE(in_order(kept_texts(), {"requested " + task + " service run", "starting up " + task + " service",
                                        task + " service started", "requested " + task + " service stop",
                                        "stopping " + task + " service", "exiting " + task + " thread",
                                        task + " service stopped"}));
}

TEST_F(scheduled_task_test, logger_stop_is_requested_even_after_its_task_failed_to_start) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto start_without_threads = [] {
        const rlimit no_more_threads{0, 0};
        if (!become_ordinary_user() || ::setrlimit(RLIMIT_NPROC, &no_more_threads) != 0) std::_Exit(2);
        log::start_logger(log::detailed, no_background_flush);
        log::add_callback_output(keep_record);
        log::stop_logger();
        const std::string task = "asynchronous logger scheduled task";
        for (const auto& text : kept_texts()) std::fprintf(stderr, "%s\n", text.c_str());
        std::_Exit(in_order(kept_texts(), {"requested " + task + " service run",
                                           "requested " + task + " service stop",
                                           task + " service already stopped"})
                       ? 0
                       : 1);
    };
    EXPECT_EXIT(start_without_threads(), ::testing::ExitedWithCode(0), "cannot start");
}

TEST_F(scheduled_task_test, run_while_running_is_in_progress_and_a_stopped_task_runs_again) {
    start(log::detailed);
    std::atomic<int> calls{0};
    scheduled_task probe("probe", 0s, [&] { ++calls; });
    EXPECT_FALSE(probe.run());
    EXPECT_EQ(probe.run(), std::error_code(EINPROGRESS, std::generic_category()));
    EXPECT_TRUE(wait_for([&] { return calls.load() > 0; }, 5000ms));
    probe.stop();
    probe.stop();
    EXPECT_FALSE(probe.running());
    const int after_stop = calls.load();
    EXPECT_FALSE(probe.run());
    EXPECT_TRUE(wait_for([&] { return calls.load() > after_stop; }, 5000ms));
    probe.stop();
    log::flush_logger();
    EXPECT_EQ(count_text("probe scheduled task service already stopped"), 1);
    EXPECT_EQ(count_text("probe scheduled task service started"), 2);
}

TEST_F(scheduled_task_test, logger_flushes_in_the_background_within_its_period) {
    start(log::info, 1s);
    const auto begin = std::chrono::steady_clock::now();
    log::log_message(log::error, boost::format("unflushed"));
    ASSERT_TRUE(wait_for([] { return count_text("unflushed") == 1; }, 5000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
}

TEST_F(scheduled_task_test, errors_of_the_work_are_logged_and_the_task_goes_on) {
    start(log::info);
    std::atomic<int> calls{0};
    scheduled_task probe("probe", 0s, [&] {
        const int call = ++calls;
        if (call == 1) throw std::runtime_error("boom");
        if (call == 2) throw 42;
    });
    ASSERT_FALSE(probe.run());
    EXPECT_TRUE(wait_for([&] { return calls.load() > 2; }, 5000ms));
    probe.stop();
    log::flush_logger();
    EXPECT_EQ(count_text("exception caught in probe scheduled task: boom"), 1);
    EXPECT_EQ(count_text("unknown exception caught in probe scheduled task"), 1);
}

TEST_F(scheduled_task_test, a_period_beyond_the_clock_waits_until_stopped) {
    std::atomic<int> calls{0};
    scheduled_task probe("probe", std::chrono::seconds::max(), [&] { ++calls; });
    ASSERT_FALSE(probe.run());
    std::this_thread::sleep_for(200ms);
    const auto begin = std::chrono::steady_clock::now();
    probe.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
