#include <nox/log/detail/scheduled_task.hpp>

#include "note.hpp"

#include <new>

namespace nox::log::detail {

namespace {

// Long enough to mean "until stopped" and short enough that the deadline
// cannot overflow the clock.
constexpr std::chrono::seconds longest_wait{365LL * 24 * 3600};

}  // namespace

scheduled_task::scheduled_task(const std::string& service, std::chrono::seconds period,
                               std::function<void()> work)
    : name_(service + " scheduled task"), period_(period), work_(std::move(work)) {}

scheduled_task::~scheduled_task() {
    if (running()) stop();
}

bool scheduled_task::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

std::error_code scheduled_task::run() noexcept {
    note(detailed, "requested %s service run", name_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return std::make_error_code(std::errc::operation_in_progress);
    std::error_code result;
    try {
        note(debug, "starting up %s service", name_);
        result = start_thread();
        if (!result) {
            running_ = true;
            note(info, "%s service started", name_);
        } else {
            note(panic, "could not start %s service: %s", name_, result.message());
            stop_thread();
        }
    } catch (const std::bad_alloc&) {
        note(panic, "cannot start %s service: not enough memory", name_);
        result = std::make_error_code(std::errc::not_enough_memory);
    } catch (const std::system_error& e) {
        note(panic, "cannot start %s service, caught exception: %s", name_, e.what());
        result = e.code();
    } catch (const std::exception& e) {
        note(panic, "cannot start %s service, caught exception: %s", name_, e.what());
        result = std::make_error_code(std::errc::operation_canceled);
    }
    if (result) {
        // No thread was started; leave the loop flag as a stopped task has it.
        std::lock_guard<std::mutex> loop_lock(loop_mutex_);
        keep_going_ = false;
    }
    return result;
}

void scheduled_task::stop() noexcept {
    note(detailed, "requested %s service stop", name_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) {
        note(detailed, "%s service already stopped", name_);
        return;
    }
    try {
        note(debug, "stopping %s service", name_);
        stop_thread();
        running_ = false;
        note(info, "%s service stopped", name_);
    } catch (const std::exception& e) {
        note(error, "cannot properly stop %s service, caught exception: %s", name_, e.what());
    }
}

std::error_code scheduled_task::start_thread() {
    {
        std::lock_guard<std::mutex> loop_lock(loop_mutex_);
        keep_going_ = true;
    }
    // A failed allocation of the handle is an error code; a failure to create
    // the thread itself is the standard library's system error.
    thread_.reset(new (std::nothrow) std::thread([this] { loop(); }));
    if (!thread_) return std::make_error_code(std::errc::not_enough_memory);
    return {};
}

void scheduled_task::stop_thread() {
    {
        std::lock_guard<std::mutex> loop_lock(loop_mutex_);
        keep_going_ = false;
    }
    wake_.notify_all();
    if (thread_) {
        // A failed join leaves the handle in place: dropping a joinable
        // thread would end the process.
        if (thread_->joinable()) thread_->join();
        thread_.reset();
    }
}

void scheduled_task::loop() noexcept {
    const std::chrono::seconds wait = period_ < longest_wait ? period_ : longest_wait;
    for (;;) {
        {
            std::unique_lock<std::mutex> loop_lock(loop_mutex_);
            if (keep_going_ && wait >= std::chrono::seconds(1))
                wake_.wait_for(loop_lock, wait, [this] { return !keep_going_; });
            if (!keep_going_) break;
        }
        try {
            work_();
        } catch (const std::exception& e) {
            note(error, "exception caught in %s: %s", name_, e.what());
        } catch (...) {
            note(error, "unknown exception caught in %s", name_);
        }
        // Without a pause, give the threads that log a turn.
        if (wait < std::chrono::seconds(1)) std::this_thread::yield();
    }
    note(debug, "exiting %s thread", name_);
}

}  // namespace nox::log::detail
