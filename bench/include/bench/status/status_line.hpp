#ifndef BENCH_STATUS_STATUS_LINE_HPP
#define BENCH_STATUS_STATUS_LINE_HPP

#include <bench/status/live_slot.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

// What the status line shows at one moment.
struct status_view {
    std::chrono::nanoseconds elapsed{0};  // since the start of the pass
    // The tests running: their numbers (1-based, in suite order) and kinds.
    std::vector<std::pair<std::uint32_t, std::string>> tests;
    live_figures last_second;
    std::uint64_t failures = 0;  // failed results so far
};

// The text of the line, e.g.
//   "0:12 | test 2 mix | 153210 steps/s | p99 0.131 ms | 0 failed"
// ("tests 1 put, 2 mix" when several run, "between tests" when none does).
std::string format_status(const status_view& view);

// The slots of a pass's workers, one each, and the failures of the pass.
class status_board {
public:
    explicit status_board(std::size_t threads);

    live_slot& slot(std::size_t thread) noexcept { return slots_[thread]; }
    // A worker finished a test: it is between tests again, and the failure
    // counts when the test failed.
    void finished(live_slot& slot, bool success) noexcept;

    live_snapshot snapshot() const noexcept;
    // The numbers of the tests running now, each once, in order.
    std::vector<std::uint32_t> running() const;
    std::uint64_t failures() const noexcept { return failures_.load(std::memory_order_relaxed); }

private:
    std::size_t threads_;
    std::unique_ptr<live_slot[]> slots_;
    std::atomic<std::uint64_t> failures_{0};
};

// The thread that redraws the status line on standard error once a second,
// in place ("\r", the text, then erase to the end of the line), until the
// object goes away, which takes the line off again.
class status_line {
public:
    // `kinds` are the kind names of the suite's tests, in order.
    status_line(const status_board& board, std::vector<std::string> kinds,
                std::chrono::steady_clock::time_point start);
    ~status_line();

    status_line(const status_line&) = delete;
    status_line& operator=(const status_line&) = delete;

private:
    void run();

    const status_board& board_;
    const std::vector<std::string> kinds_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// Held while something is written to the console: takes the status line off
// the terminal first (it comes back at its next redraw), so that what is
// written starts on a clean line and the line is not drawn into it.
class console_turn {
public:
    console_turn();

private:
    std::lock_guard<std::mutex> lock_;
};

}  // namespace bench

#endif
