// Many threads logging while the logger flushes, stops and starts.

#include "recorder.hpp"

#include <nox/log/logger.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kvtest::log;
namespace log = nox::log;
using namespace std::chrono_literals;

using concurrency_test = logger_fixture;

constexpr int writers = 8;
constexpr int per_writer = 2000;

TEST_F(concurrency_test, no_record_is_lost_while_the_task_and_callers_flush) {
    start(log::warning, 0s);  // the task flushes without pausing
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([w] {
            for (int i = 0; i < per_writer; ++i) {
                log::log_message(log::error, boost::format("%d %d") % w % i);
                if (i % 500 == 0) log::flush_logger();
            }
        });
    for (auto& t : threads) t.join();
    log::stop_logger();

    // Every record once, and each writer's records in the order it wrote them.
    std::map<int, int> next;
    for (const std::string& text : kept_texts()) {
        const int w = std::stoi(text);
        const int i = std::stoi(text.substr(text.find(' ') + 1));
        ASSERT_EQ(i, next[w]) << "writer " << w;
        ++next[w];
    }
    ASSERT_EQ(next.size(), std::size_t(writers));
    for (const auto& [w, count] : next) EXPECT_EQ(count, per_writer) << "writer " << w;
}

TEST_F(concurrency_test, stopping_and_starting_while_threads_log_is_safe) {
    log::detail::replace_syslog_api({[](const char*, int, int) {}, [](int, const char*) {}, [] {}});
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w)
        threads.emplace_back([&done] {
            while (!done.load()) {
                log::log_message(log::error, boost::format("busy"));
                log::flush_logger();
            }
        });
    // Outputs are added while the other threads flush.
    for (int round = 0; round < 20; ++round) {
        start(log::info, 0s);
        log::add_syslog_output();
        log::add_callback_output(keep_record);
        std::this_thread::sleep_for(5ms);
        log::stop_logger();
    }
    done.store(true);
    for (auto& t : threads) t.join();
    EXPECT_FALSE(log::detail::logger_running());
    EXPECT_GT(count_text("busy"), 0);
}

}  // namespace
