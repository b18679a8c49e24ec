#include <nox/log/logger.hpp>

#include <nox/log/detail/scheduled_task.hpp>
#include <nox/log/detail/seams.hpp>

#include "core.hpp"
#include "note.hpp"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace nox::log {

namespace {

// The process-wide logger. Every function that uses the logger pins it by
// counting itself in `users`; stop_logger unpublishes the logger first and
// then waits for the count to fall to zero, so a logger is never destroyed
// under a thread that is still logging or flushing. The pointer and the
// count use sequentially consistent operations: a thread that counted itself
// before the pointer was cleared is seen by the waiting stop, and one that
// counted itself after reads the cleared pointer. All members are
// constant-initialised, so logging works from any static constructor.
struct process_state {
    std::mutex lifecycle;                   // serialises start, configure and stop
    std::atomic<detail::logger*> current{nullptr};
    std::atomic<std::size_t> users{0};
    detail::scheduled_task* task = nullptr;  // the background flush, under lifecycle
    std::atomic<bool> console_added{false};
    std::atomic<bool> syslog_added{false};
};

process_state state;

class pinned_logger {
public:
    pinned_logger() noexcept {
        if (state.current.load() == nullptr) return;  // no logger: no shared write at all
        state.users.fetch_add(1);
        logger_ = state.current.load();
        if (logger_ == nullptr) state.users.fetch_sub(1);
    }
    ~pinned_logger() {
        if (logger_ != nullptr) state.users.fetch_sub(1);
    }
    pinned_logger(const pinned_logger&) = delete;
    pinned_logger& operator=(const pinned_logger&) = delete;

    explicit operator bool() const noexcept { return logger_ != nullptr; }
    detail::logger* operator->() const noexcept { return logger_; }

private:
    detail::logger* logger_ = nullptr;
};

// Flushes the current logger, if any; errors reach the caller.
void flush_current() {
    pinned_logger logger;
    if (logger) logger->flush();
}

void start_locked(log_level level, std::chrono::seconds period) {
    if (state.current.load() != nullptr) return;
    state.console_added.store(false);
    state.syslog_added.store(false);
    auto logger = std::make_unique<detail::logger>(level);
    auto task = std::make_unique<detail::scheduled_task>("asynchronous logger", period, [] { flush_current(); });
    state.current.store(logger.release());
    state.task = task.release();
    state.task->run();
}

// Claims a once-only output for the running logger.
bool claim(std::atomic<bool>& flag) noexcept {
    bool expected = false;
    return flag.compare_exchange_strong(expected, true);
}

detail::log_output make_output(detail::output_kind kind) {
    detail::log_output output;
    output.kind = kind;
    return output;
}

}  // namespace

void start_logger(log_level level, std::chrono::seconds period) {
    std::lock_guard<std::mutex> lock(state.lifecycle);
    start_locked(level, period);
}

void configure_logger(const log_config& config) {
    std::lock_guard<std::mutex> lock(state.lifecycle);
    if (state.current.load() != nullptr) return;
    // Checked first so that a bad configuration starts nothing.
    for (const std::string& path : config.files)
        if (path.empty()) throw std::invalid_argument("An empty path is not a valid log output");
    start_locked(config.level, std::chrono::duration_cast<std::chrono::seconds>(config.period));
    for (const std::string& path : config.files) add_file_output(path);
    if (config.console) add_console_output();
    if (config.syslog) add_syslog_output();
}

void add_file_output(const std::string& path) {
    pinned_logger logger;
    if (!logger) return;
    if (path.empty()) throw std::invalid_argument("An empty path is not a valid log output");
    detail::log_output output = make_output(detail::output_kind::file);
    output.path = path;
    logger->add_output(std::move(output));
    detail::note(info, "will log to the file %s", path);
}

void add_console_output() {
    pinned_logger logger;
    if (!logger || !claim(state.console_added)) return;
    try {
        std::ios_base::sync_with_stdio(false);
        logger->add_output(make_output(detail::output_kind::console));
    } catch (...) {
        state.console_added.store(false);
        throw;
    }
    std::fflush(stdout);
    detail::note(info, "will log to the console");
}

void add_syslog_output() {
    pinned_logger logger;
    if (!logger || !claim(state.syslog_added)) return;
    try {
        logger->add_output(make_output(detail::output_kind::syslog));
    } catch (...) {
        state.syslog_added.store(false);
        throw;
    }
    detail::note(info, "will log to syslog");
}

void add_callback_output(log_callback callback) {
    pinned_logger logger;
    if (!logger || callback == nullptr) return;
    detail::log_output output = make_output(detail::output_kind::callback);
    output.callback = callback;
    logger->add_output(std::move(output));
    // Function and object pointers share a representation on POSIX systems.
    detail::note(info, "will log to callback %p", reinterpret_cast<const void*>(callback));
}

void log_message(log_level level, const boost::format& message) noexcept {
    pinned_logger logger;
    if (!logger || level < logger->minimum()) return;
    logger->push(level, message);
}

void flush_logger() noexcept {
    try {
        flush_current();
    } catch (...) {
        // An output that failed leaves its records to the next flush.
    }
}

void stop_logger() noexcept {
    std::lock_guard<std::mutex> lock(state.lifecycle);
    if (state.current.load() == nullptr) return;
    // The task stops while the logger is still reachable, so its stop
    // messages are written by the final flush below. The stop is asked for
    // even when the task never started, so that the log always says so.
    if (state.task != nullptr) state.task->stop();
    delete state.task;
    state.task = nullptr;
    detail::logger* logger = state.current.exchange(nullptr);
    while (state.users.load() != 0) std::this_thread::yield();
    delete logger;  // writes what is still queued
    state.console_added.store(false);
    state.syslog_added.store(false);
}

namespace detail {

bool logger_running() noexcept { return state.current.load() != nullptr; }

std::vector<output_kind> output_kinds() {
    pinned_logger logger;
    if (!logger) return {};
    return logger->output_kinds();
}

}  // namespace detail

}  // namespace nox::log
